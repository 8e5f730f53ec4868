#include "server/tftp/request_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "server/tftp/packets.h"

namespace tolmark::tftp {
namespace {

const Ipv4 kClient = makeIpv4(192, 168, 1, 20);

// opcode, then NUL-terminated texts; a text of "\xff" leaves out the final NUL of the previous one.
std::vector<std::uint8_t> packet(unsigned opcode, std::vector<std::string> texts, bool lastTerminated = true) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(opcode >> 8), static_cast<std::uint8_t>(opcode)};
    for (const std::string& t : texts) {
        bytes.insert(bytes.end(), t.begin(), t.end());
        bytes.push_back(0);
    }
    if (!lastTerminated) bytes.pop_back();
    return bytes;
}

struct Case {
    const char* what;
    std::vector<std::uint8_t> datagram;
    std::function<void(ParserSettings&, ClientStanding&)> setup;
    unsigned code;  // 0: accepted
    ErrorText text;
    std::function<void(const ParsedRequest&)> check;
};

ParserSettings baseSettings() {
    ParserSettings s;
    s.tftp.directory = "/srv/tftp/";
    s.tftp.mode = 0;
    s.tftp.upload = 1;
    s.tftp.timeout = 2;
    return s;
}

void run(const std::vector<Case>& cases, const std::set<std::string>& directories = {}) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ParserSettings settings = baseSettings();
        ClientStanding standing;
        if (c.setup) c.setup(settings, standing);
        ParseEnvironment environment{[&](Ipv4 a) {
                                         EXPECT_EQ(a, kClient);
                                         return standing;
                                     },
                                     [&](const std::string& d) { return directories.count(d) != 0; }};
        const ParsedRequest parsed = parseRequest(c.datagram, kClient, 4000, settings, environment);
        EXPECT_EQ(parsed.failed, c.code != 0);
        EXPECT_EQ(parsed.errorCode, c.code);
        if (c.code != 0) {
            EXPECT_EQ(parsed.text, c.text);
        }
        if (c.check) c.check(parsed);
    }
}

auto pathIs(std::string path) {
    return [path](const ParsedRequest& p) { EXPECT_EQ(p.request.path, path); };
}

TEST(RequestParser, OpcodeNameCharactersAndMode) {
    const ErrorText ok = ErrorText::Unspecified;
    run({
        {"DATA is no request", packet(3, {"a", "octet"}), nullptr, 4, ErrorText::BadPacket, nullptr},
        {"upload while uploads are off", packet(2, {"a", "octet"}),
         [](ParserSettings& s, ClientStanding&) { s.tftp.upload = 0; }, 4, ErrorText::IllegalOperation, nullptr},
        {"name without its NUL", packet(1, {"abc"}, false), nullptr, 4, ErrorText::InvalidPath, nullptr},
        {"dot dot anywhere", packet(1, {"boot/../x", "octet"}), nullptr, 4, ErrorText::InvalidPath, nullptr},
        {"dot dot behind a control character is still seen", packet(1, {"a\x01..", "octet"}),
         [](ParserSettings& s, ClientStanding&) { s.tftp.flags = 1; }, 4, ErrorText::InvalidPath, nullptr},
        {"control character cuts the name", packet(1, {"boot\x01tail", "octet"}),
         [](ParserSettings& s, ClientStanding&) { s.tftp.flags = 1; }, 0, ok, pathIs("/srv/tftp/boot")},
        {"backslashes become slashes, one leading slash dropped", packet(1, {"\\pxe\\boot.0", "octet"}), nullptr, 0, ok,
         pathIs("/srv/tftp/pxe/boot.0")},
        {"mode mail", packet(1, {"a", "mail"}), nullptr, 4, ErrorText::BadMode, nullptr},
        {"unknown mode", packet(1, {"a", "binary"}), nullptr, 4, ErrorText::BadMode, nullptr},
        {"netascii in any case takes TFTPUnixStyle", packet(1, {"a", "NetAscii"}),
         [](ParserSettings& s, ClientStanding&) { s.tftp.unixStyle = 1; }, 0, ok,
         [](const ParsedRequest& p) {
             EXPECT_EQ(p.request.mode, kModeNetascii);
             EXPECT_EQ(p.request.textAccess, 1);
             EXPECT_EQ(p.request.blockSize, 512);
             EXPECT_EQ(p.request.timeout, 2);
             EXPECT_EQ(p.request.options, 0);
         }},
    });
}

TEST(RequestParser, AccessRulesPrefixesAndRoots) {
    const ErrorText ok = ErrorText::Unspecified;
    auto known = [](std::int32_t mode, bool isStatic) {
        return [=](ParserSettings& s, ClientStanding& c) {
            s.tftp.mode = mode;
            c.known = true;
            c.hasStaticEntry = isStatic;
            c.profile = "lab";
            c.bootFile = "pxelinux.0";
            c.bootFile2 = "ipxe.efi";
        };
    };
    run(
        {
            {"boot file only: the boot file", packet(1, {"pxelinux.0", "octet"}), known(8, false), 0, ok, nullptr},
            {"boot file only: another file", packet(1, {"other", "octet"}), known(8, false), 4, ErrorText::AccessDenied,
             nullptr},
            {"known clients only: unknown", packet(1, {"x", "octet"}),
             [](ParserSettings& s, ClientStanding&) { s.tftp.mode = 4; }, 4, ErrorText::AccessDenied, nullptr},
            {"static clients only: pool client", packet(1, {"x", "octet"}), known(6, false), 4, ErrorText::AccessDenied,
             nullptr},
            {"prefix match reads the name itself", packet(1, {"/srv/images/a.bin", "octet"}),
             [](ParserSettings& s, ClientStanding&) { s.tftp.prefix = "short;/opt/boot;/srv/images"; }, 0, ok,
             [](const ParsedRequest& p) {
                 EXPECT_EQ(p.request.path, "/srv/images/a.bin");
                 EXPECT_TRUE(p.path.underPrefix);
                 EXPECT_EQ(p.path.root, "/srv/images");
             }},
            {"absolute name outside the prefixes stays below the root", packet(1, {"/etc/passwd", "octet"}),
             [](ParserSettings& s, ClientStanding&) { s.tftp.prefix = "/srv/images"; }, 0, ok,
             [](const ParsedRequest& p) {
                 EXPECT_EQ(p.request.path, "/srv/tftp/etc/passwd");
                 EXPECT_EQ(p.path.relative, "etc/passwd");
                 EXPECT_FALSE(p.path.underPrefix);
             }},
            // There are no drive letters: a colon is a character of the name, as in the MAC
            // address names of boot scripts.
            {"colon in a relative name", packet(1, {"boot/52:54:00:12:34:56.ipxe", "octet"}), nullptr, 0, ok,
             pathIs("/srv/tftp/boot/52:54:00:12:34:56.ipxe")},
            {"path too long", packet(1, {std::string(1014, 'n'), "octet"}), nullptr, 4, ErrorText::PathTooLong,
             nullptr},
            {"address directory that exists", packet(1, {"pxelinux.0", "octet"}),
             [](ParserSettings& s, ClientStanding&) { s.tftp.rootIpSpecific = 9; }, 0, ok,
             pathIs("/srv/tftp/192.168.1.0/pxelinux.0")},
            {"address directory that does not exist", packet(1, {"pxelinux.0", "octet"}),
             [](ParserSettings& s, ClientStanding&) { s.tftp.rootIpSpecific = 1; }, 0, ok,
             pathIs("/srv/tftp/pxelinux.0")},
            {"profile directory when no address directory", packet(1, {"pxelinux.0", "octet"}),
             [&](ParserSettings& s, ClientStanding& c) {
                 known(0, false)(s, c);
                 s.tftp.rootProfile = 1;
             },
             0, ok, pathIs("/srv/tftp/lab/pxelinux.0")},
        },
        {"/srv/tftp/192.168.1.0", "/srv/tftp/lab"});
}

TEST(RequestParser, Options) {
    const ErrorText ok = ErrorText::Unspecified;
    auto multicastOn = [](ParserSettings& s, ClientStanding&) { s.multicast.multicast = 1; };
    // Served as if the option had not been asked for.
    auto unchanged = [](const ParsedRequest& p) {
        EXPECT_EQ(p.request.options, 0);
        EXPECT_EQ(p.request.blockSize, 512);
        EXPECT_EQ(p.request.timeout, 2);
        EXPECT_EQ(p.request.window, 1);
    };
    run({
        {"blksize and tsize and timeout", packet(1, {"a", "octet", "BLKSIZE", "1468", "tsize", "0", "timeout", "3"}),
         nullptr, 0, ok,
         [](const ParsedRequest& p) {
             EXPECT_EQ(p.request.blockSize, 1468);
             EXPECT_EQ(p.request.timeout, 3);
             EXPECT_EQ(p.request.options, kOptBlksize | kOptTsize | kOptTimeout);
         }},
        {"blksize not a number", packet(1, {"a", "octet", "blksize", "big"}), nullptr, 8, ErrorText::BadBlksize,
         nullptr},
        // A value the server does not take is left out of the OACK, and the transfer goes on with
        // the default, as RFC 2347 has it: a boot loader that sends one still gets its file.
        {"blksize below 8 is left out", packet(1, {"a", "octet", "blksize", "7"}), nullptr, 0, ok, unchanged},
        {"blksize above a datagram is cut to 65464", packet(1, {"a", "octet", "blksize", "65536"}), nullptr, 0, ok,
         [](const ParsedRequest& p) { EXPECT_EQ(p.request.blockSize, 65464); }},
        {"blksize switched off is skipped", packet(1, {"a", "octet", "blksize", "1468"}),
         [](ParserSettings& s, ClientStanding&) { s.tftp.options = 6; }, 0, ok,
         [](const ParsedRequest& p) {
             EXPECT_EQ(p.request.blockSize, 512);
             EXPECT_EQ(p.request.options, 0);
         }},
        {"timeout 0 is left out", packet(1, {"a", "octet", "timeout", "0"}), nullptr, 0, ok, unchanged},
        {"tsize not a number", packet(1, {"a", "octet", "tsize", ""}), nullptr, 8, ErrorText::BadTsize, nullptr},
        // An upload of 4 GiB or more: its size is checked against the free space and echoed whole.
        {"tsize past 32 bits", packet(2, {"a", "octet", "tsize", "99999999999999"}), nullptr, 0, ok,
         [](const ParsedRequest& p) {
             EXPECT_EQ(p.request.size, 99999999999999u);
             std::array<std::uint8_t, 64> oack{};
             const std::size_t n = writeOack(oack, oackValues(p.request, false));
             EXPECT_EQ(std::string(oack.begin() + 2, oack.begin() + static_cast<long>(n)),
                       std::string("tsize\0"
                                   "99999999999999\0",
                                   21));
         }},
        {"tsize past 64 bits", packet(2, {"a", "octet", "tsize", "184467440737095516150"}), nullptr, 0, ok,
         [](const ParsedRequest& p) { EXPECT_EQ(p.request.size, ~std::uint64_t{0}); }},
        {"multicast while off is ignored", packet(1, {"a", "octet", "multicast", ""}), nullptr, 0, ok,
         [](const ParsedRequest& p) { EXPECT_FALSE(p.multicastRequested); }},
        {"multicast in a write request", packet(2, {"a", "octet", "multicast", ""}), multicastOn, 8,
         ErrorText::BadMulticast, nullptr},
        {"multicast asked", packet(1, {"a", "octet", "multicast", ""}), multicastOn, 0, ok,
         [](const ParsedRequest& p) { EXPECT_TRUE(p.multicastRequested); }},
        {"windowsize granted", packet(1, {"a", "octet", "windowsize", "8"}), nullptr, 0, ok,
         [](const ParsedRequest& p) {
             EXPECT_EQ(p.request.window, 8);
             EXPECT_EQ(p.request.options, kOptWindowsize);
         }},
        {"windowsize cut to TFTPMaxWindow", packet(1, {"a", "octet", "windowsize", "64"}), nullptr, 0, ok,
         [](const ParsedRequest& p) { EXPECT_EQ(p.request.window, 32); }},
        {"windowsize 0 is left out", packet(1, {"a", "octet", "windowsize", "0"}), nullptr, 0, ok, unchanged},
        {"windowsize above 65535 is cut", packet(1, {"a", "octet", "windowsize", "70000"}), nullptr, 0, ok,
         [](const ParsedRequest& p) { EXPECT_EQ(p.request.window, 32); }},
        {"windowsize refused by TFTPMaxWindow 0", packet(1, {"a", "octet", "windowsize", "8"}),
         [](ParserSettings& s, ClientStanding&) { s.maxWindow = 0; }, 0, ok,
         [](const ParsedRequest& p) { EXPECT_EQ(p.request.window, 1); }},
        {"windowsize not for uploads", packet(2, {"a", "octet", "windowsize", "8"}), nullptr, 0, ok,
         [](const ParsedRequest& p) { EXPECT_EQ(p.request.options, 0); }},
        {"windowsize not for multicast", packet(1, {"a", "octet", "windowsize", "8", "multicast", ""}), multicastOn, 0,
         ok, [](const ParsedRequest& p) { EXPECT_EQ(p.request.options & kOptWindowsize, 0); }},
    });
}

}  // namespace
}  // namespace tolmark::tftp

// Fuzz target: one TFTP read or write request through the request checks, then the file open
// of an accepted read, in a temporary tree: a root directory with an address directory, a
// profile directory, files, and links that lead out of it; an allowed prefix directory; and a
// secret file outside both. Byte 0 steers the settings (printable names, uploads, access mode,
// address and profile directories, multicast, options), byte 1 the client's standing and
// address; the rest is the datagram.
//
// An accepted request must have a path under its root or prefix without "..", a block size and
// window within bounds, and an option acknowledgement that fits; an opened file must lie inside
// the root or the prefix, never be the secret file nor the server's own configuration; an
// upload's temporary file must lie there too, and is gone once the upload is dropped.

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "config/tests/temp_directory.h"
#include "server/tftp/file_access.h"
#include "server/tftp/packets.h"
#include "server/tftp/request_parser.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

using namespace tolmark::tftp;

constexpr const char* kOtherPrefix = "/nonexistent/boot";

std::string realPath(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

class Tree {
public:
    Tree() {
        const std::string& t = directory_.path();
        for (const char* d : {"root", "root/192.168.1.0", "root/Standard", "root/boot", "images"})
            std::filesystem::create_directories(t + d);
        for (const char* f :
             {"root/pxelinux.0", "root/boot/a", "root/192.168.1.0/pxelinux.0", "images/a.bin", "secret.txt"})
            testing::writeFile(t + f, "data\r\nmore\n");
        testing::writeFile(t + "root/Dorvane.ini", "[Dorvane]\n");
        std::error_code ignored;
        std::filesystem::create_symlink(t + "root/boot/a", t + "root/inside", ignored);
        std::filesystem::create_symlink("Dorvane.ini", t + "root/config", ignored);
        std::filesystem::create_symlink("/etc", t + "root/escape", ignored);
        std::filesystem::create_symlink("../secret.txt", t + "root/secretlink", ignored);
        std::filesystem::create_symlink("../secret.txt", t + "images/up", ignored);
        root = t + "root/";
        prefix = t + "images";
        realRoot = realPath(root) + "/";
        realPrefix = realPath(prefix);
        secret = realPath(t + "secret.txt");
        config = realPath(t + "root/Dorvane.ini");
        guard = ServerFileGuard(ServerFiles{root, {root + "Dorvane.ini"}, ""});
        FUZZ_REQUIRE(!realRoot.empty() && !realPrefix.empty() && !secret.empty());
    }

    std::string root, prefix, realRoot, realPrefix, secret, config;
    MappingCache mappings;
    ServerFileGuard guard;

private:
    testing::TempDirectory directory_;
};

Tree& tree() {
    static Tree instance;
    return instance;
}

ParserSettings settingsFor(std::uint8_t how, const Tree& t) {
    ParserSettings s;
    s.tftp.directory = t.root;
    s.tftp.prefix = std::string(kOtherPrefix) + ";" + t.prefix;
    s.tftp.flags = how & 1;
    s.tftp.upload = (how & 2) ? 2 : 1;
    static constexpr std::int32_t kModes[] = {0, 2, 4, 8};
    s.tftp.mode = kModes[(how >> 2) & 3];
    s.tftp.rootIpSpecific = (how & 16) ? 24 : 0;
    s.tftp.rootProfile = (how & 32) ? 1 : 0;
    s.multicast.multicast = (how & 64) ? 1 : 0;
    s.tftp.options = (how & 128) ? 0 : 0x1F;
    s.tftp.mmf = 2;
    return s;
}

void checkOpened(const OpenResult& opened, const ParsedRequest& parsed, const Tree& t) {
    if (!opened.ok) return;
    const int fd = opened.upload ? opened.upload->fd() : opened.file.get();
    if (fd < 0) return;
    const std::string resolved = realPath("/proc/self/fd/" + std::to_string(fd));
    FUZZ_REQUIRE(!resolved.empty() && resolved != t.secret && resolved != t.config);
    // An upload's temporary file lies beside its target, which a prefix item may name by the
    // beginning of its file name ("/srv/boot" matches "/srv/bootx"): then in the item's directory.
    const bool besidePrefix =
        opened.upload && resolved.compare(0, resolved.rfind('/'), t.realPrefix, 0, t.realPrefix.rfind('/')) == 0;
    if (parsed.path.underPrefix)
        FUZZ_REQUIRE(resolved.compare(0, t.realPrefix.size(), t.realPrefix) == 0 || besidePrefix);
    else
        FUZZ_REQUIRE(resolved.compare(0, t.realRoot.size(), t.realRoot) == 0);
}

void run(std::span<const std::uint8_t> input) {
    Tree& t = tree();
    Steering steer(input);
    const ParserSettings settings = settingsFor(steer.byte(), t);
    const std::uint8_t who = steer.byte();
    ClientStanding standing;
    standing.hasStaticEntry = who & 1;
    standing.known = who & 2;
    if (who & 4) standing.profile = "Standard";
    standing.bootFile = "pxelinux.0";
    standing.bootFile2 = "boot/a";
    standing.alternate = who & 8;
    const ParseEnvironment environment{[&](Ipv4) { return standing; },
                                       [](const std::string& d) {
                                           struct stat st {};
                                           return ::stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
                                       }};
    const std::vector<std::uint8_t> datagram(steer.rest().begin(), steer.rest().end());
    const ParsedRequest parsed = parseRequest(datagram, makeIpv4(192, 168, 1, who), 4000, settings, environment);
    if (parsed.failed) {
        FUZZ_REQUIRE(parsed.errorCode != 0 && parsed.errorCode <= 8);
        return;
    }
    const TransferRequest& r = parsed.request;
    FUZZ_REQUIRE(r.opcode == kOpReadRequest || r.opcode == kOpWriteRequest);
    FUZZ_REQUIRE(r.mode == kModeOctet || r.mode == kModeNetascii);
    FUZZ_REQUIRE(r.blockSize >= kMinBlockSize && r.blockSize <= kMaxBlockSize && r.window >= 1);
    FUZZ_REQUIRE(r.path == parsed.path.full && r.path.size() < kMaxPath && r.path.find("..") == std::string::npos);
    FUZZ_REQUIRE(parsed.path.full == parsed.path.root + parsed.path.relative);
    // A prefix item matches the names that begin with it, "/nonexistent/boot" also "/nonexistent/bootx".
    if (parsed.path.underPrefix)
        FUZZ_REQUIRE(parsed.path.root == t.prefix || parsed.path.root == kOtherPrefix);
    else
        FUZZ_REQUIRE(parsed.path.root == t.root);

    std::array<std::uint8_t, 512> oack{};
    const OackValues values = oackValues(r, true);
    FUZZ_REQUIRE(r.options == 0 || writeOack(oack, values) != 0);
    char pieces[256];
    FUZZ_REQUIRE(formatOptionPieces(pieces, sizeof pieces, values) < sizeof pieces);

    if (r.opcode == kOpReadRequest) {
        const ReadPolicy policy{r.mode == kModeNetascii, (steer.rest().size() & 1) != 0, 1u << 20};
        checkOpened(openForReading(parsed.path, policy, t.mappings, t.guard), parsed, t);
    } else {
        OpenResult upload = openForWriting(parsed.path, {false, r.size}, t.guard);
        checkOpened(upload, parsed, t);
        if (upload.ok) {
            const std::string temporary = realPath("/proc/self/fd/" + std::to_string(upload.upload->fd()));
            upload.upload.reset();
            FUZZ_REQUIRE(!std::filesystem::exists(temporary));
        }
    }
}

Input request(std::initializer_list<std::uint8_t> steer, std::uint16_t opcode,
              std::initializer_list<std::string_view> texts) {
    Input in(steer);
    in.push_back(static_cast<std::uint8_t>(opcode >> 8));
    in.push_back(static_cast<std::uint8_t>(opcode));
    for (std::string_view text : texts) {
        in.insert(in.end(), text.begin(), text.end());
        in.push_back(0);
    }
    return in;
}

}  // namespace

std::vector<Input> seeds() {
    const std::string prefixed = tree().prefix + "/a.bin";
    return {
        request({0, 0}, kOpReadRequest, {"pxelinux.0", "octet"}),
        request({0x10, 7}, kOpReadRequest, {"pxelinux.0", "netascii", "blksize", "1468", "tsize", "0"}),
        request({0x20, 5}, kOpReadRequest, {"boot/a", "octet", "timeout", "3", "windowsize", "8"}),
        request({0x40, 3}, kOpReadRequest, {"\\boot\\a", "octet", "multicast", "", "blksize", "7"}),
        request({0x0c, 11}, kOpReadRequest, {"boot/a", "octet"}),
        request({0x02, 1}, kOpWriteRequest, {"upload.bin", "octet", "tsize", "1000"}),
        request({0, 0}, kOpReadRequest, {prefixed, "octet"}),
        request({0, 0}, kOpReadRequest, {"escape/hostname", "octet"}),
        request({0, 0}, kOpReadRequest, {"secretlink", "octet"}),
        request({0, 0}, kOpReadRequest, {"inside", "octet"}),
        request({0, 0}, kOpReadRequest, {"config", "octet"}),
        request({0x02, 0}, kOpWriteRequest, {"Dorvane.ini", "octet"}),
        request({0x02, 0}, kOpWriteRequest, {"boot/new", "octet"}),
        request({0x01, 0}, kOpReadRequest, {"a\x01/../b", "mail"}),
    };
}

std::vector<std::string> dictionary() {
    return {std::string("\0", 1), "..",      "/",          "\\",           ":",         "octet",
            "netascii",           "mail",    "blksize",    "timeout",      "tsize",     "multicast",
            "windowsize",         "escape/", "secretlink", "192.168.1.0/", "Standard/", "65464",
            "99999999999",        "inside",  "config",     "Dorvane.ini"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}

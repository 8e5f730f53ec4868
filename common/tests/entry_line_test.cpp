#include "common/entry_line.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace tolmark {
namespace {

constexpr const char* kFullDynamicLine = "00:0c:29:aa:bb:cc\t10.0.0.120\t:1700003600\t=10.0.1.1\tLab\t#printer";

std::string formatted(const ClientFields& record, EntryFormat format, int updateEthers = 3) {
    auto line = formatEntryLine(record, format, updateEthers);
    return line ? std::string(line->view()) : std::string("<none>");
}

TEST(EntryLine, DynamicLineWithEveryFieldLoadsAndIsWrittenBackUnchanged) {
    auto record = parseEntryLine(kFullDynamicLine, true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->identity.kind, kIdentityHardware);
    EXPECT_EQ(record->identity.length, 6);
    EXPECT_EQ(record->identity.bytes[5], 0xcc);
    EXPECT_EQ(record->address, makeIpv4(10, 0, 0, 120));
    EXPECT_EQ(record->expiry, 1700003600);
    EXPECT_EQ(record->lastAccess, 1700003600);
    EXPECT_EQ(record->seenVia, makeIpv4(10, 0, 1, 1));
    EXPECT_EQ(record->profile, "Lab");
    EXPECT_EQ(record->remark, "printer");
    EXPECT_EQ(formatted(*record, EntryFormat::Dynamic), kFullDynamicLine);

    // The host name of a lease follows its profile, which is then written also when it is the
    // default (a reader that knows no such field ignores the fields after the profile); one in
    // the profile's place is the profile; one before the address moves behind the profile.
    const struct {
        const char* line;
        const char* host;
        const char* profile;
        const char* written;
    } named[] = {
        {"00:0c:29:aa:bb:cc\t10.0.0.120\t:1700003600\tLab\t@laptop\t#printer", "laptop", "Lab", nullptr},
        {"00:0c:29:aa:bb:cc\t10.0.0.120\t:1700003600\tStandard\t@laptop", "laptop", "Standard", nullptr},
        {"00:0c:29:aa:bb:cc\t10.0.0.120\t:0\t@home", "", "@home", nullptr},
        {"00:0c:29:aa:bb:cc pc-7\t10.0.0.120\t:5", "pc-7", "Standard",
         "00:0c:29:aa:bb:cc\t10.0.0.120\t:5\tStandard\t@pc-7"},
    };
    for (const auto& c : named) {
        auto lease = parseEntryLine(c.line, true);
        ASSERT_TRUE(lease) << c.line;
        EXPECT_EQ(lease->hostName, c.host) << c.line;
        EXPECT_EQ(lease->profile, c.profile) << c.line;
        EXPECT_EQ(formatted(*lease, EntryFormat::Dynamic), c.written ? c.written : c.line);
    }
}

TEST(EntryLine, EthersLineWithDashesBlankAndHostName) {
    auto record = parseEntryLine("00-0C-29-AA-BB-CC host1\t10.0.0.5", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->hostName, "host1");
    EXPECT_EQ(record->address, makeIpv4(10, 0, 0, 5));
    EXPECT_EQ(record->profile, "Standard");
    EXPECT_EQ(formatted(*record, EntryFormat::Static, 3), "00:0c:29:aa:bb:cc\thost1\t10.0.0.5");
    EXPECT_EQ(formatted(*record, EntryFormat::Static, 1), "00:0c:29:aa:bb:cc\t10.0.0.5");
    EXPECT_EQ(formatted(*record, EntryFormat::Ignored, 2), "00:0c:29:aa:bb:cc\thost1\t10.0.0.5");
}

TEST(EntryLine, OnlyFilesLetABlankEndTheIdentity) {
    EXPECT_FALSE(parseEntryLine("0102 host1\t10.0.0.5", false));
    auto record = parseEntryLine("0102 host1\t10.0.0.5", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->identity.kind, kIdentityClientId);
    EXPECT_EQ(record->identity.length, 2);
    EXPECT_EQ(record->hostName, "host1");
}

TEST(EntryLine, ClientIdentifierWithHexPrefix) {
    auto record = parseEntryLine("0x01020304050607\t10.0.0.9", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->identity.kind, kIdentityClientId);
    EXPECT_EQ(record->identity.length, 7);
    EXPECT_EQ(record->identity.bytes[6], 0x07);
    EXPECT_EQ(formatted(*record, EntryFormat::Static), "01020304050607\t10.0.0.9");
}

TEST(EntryLine, FieldsAfterTheAddress) {
    // Later times win, an unreadable seen-via address is none, the second profile is ignored,
    // a '#' inside a field is data and the blank before the remark ends the profile name.
    auto record = parseEntryLine("R0a0b\t10.0.0.1\t:5\t=300.1.1.1\t:7\tAVeryLongProfileNameThatIsCut\tOther", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->identity.kind, kIdentityRemote);
    EXPECT_EQ(record->expiry, 7);
    EXPECT_EQ(record->seenVia, 0u);
    EXPECT_EQ(record->profile, "AVeryLongProfileNameTha");

    // A time too large for the field stays at the latest one: never an expiry in the past.
    for (const char* line : {"C01\t10.0.0.1\t:99999999999999999999", "C01\t10.0.0.1\t:9223372036854775808"}) {
        record = parseEntryLine(line, true);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->expiry, std::numeric_limits<std::int64_t>::max()) << line;
    }

    record = parseEntryLine("C01\t10.0.0.1\tLab#1 #note", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->profile, "Lab#1");
    EXPECT_EQ(record->remark, "note");

    // A file written by hand with blanks: what follows the address is further fields, in a
    // file only (an entry text keeps tabs; text run on after an address is dropped there).
    record = parseEntryLine("00:11:22:33:44:55 10.0.0.5  :9 =10.0.0.1\tLab #desk", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->address, makeIpv4(10, 0, 0, 5));
    EXPECT_EQ(record->expiry, 9);
    EXPECT_EQ(record->seenVia, makeIpv4(10, 0, 0, 1));
    EXPECT_EQ(record->profile, "Lab");
    EXPECT_EQ(record->remark, "desk");
    record = parseEntryLine("C01\t10.0.0.5 Lab", false);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->profile, "Standard");

    // Without a dotted second field, the third is the address, readable or not.
    record = parseEntryLine("+0102\tpc\tnone", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->hostName, "pc");
    EXPECT_EQ(record->address, 0u);
}

TEST(EntryLine, LinesWithoutIdentity) {
    EXPECT_FALSE(parseEntryLine("", true));
    EXPECT_FALSE(parseEntryLine("\t10.0.0.1", true));
    EXPECT_FALSE(parseEntryLine("xyz\t10.0.0.1", true));
    EXPECT_FALSE(parseEntryLine(" #remark only", true));
}

TEST(EntryLine, DeletedAndReservedDynamicRecordsReloadAsFreeRecords) {
    ClientFields deleted;
    deleted.identity.kind = kIdentityFree;
    deleted.address = makeIpv4(10, 0, 0, 7);
    deleted.profile = "Lab";
    const std::string line = formatted(deleted, EntryFormat::Dynamic);
    EXPECT_EQ(line, "00:00:00:00:00:00\t10.0.0.7\t:0\tLab");
    auto back = parseEntryLine(line, true);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->identity.kind, kIdentityHardware);
    EXPECT_EQ(back->expiry, 0);
    EXPECT_EQ(back->address, deleted.address);

    ClientFields reserved;
    reserved.address = makeIpv4(10, 0, 0, 8);
    reserved.expiry = kExpiryReserved;
    reserved.profile = "Standard";
    EXPECT_EQ(formatted(reserved, EntryFormat::Dynamic), "00:00:00:00:00:00\t10.0.0.8\t:4294967295");

    // A line with nothing in the identity field would end loading of every line after it.
    ClientFields empty;
    empty.identity.kind = kIdentityClientId;
    EXPECT_FALSE(formatEntryLine(empty, EntryFormat::Dynamic, 3));
}

TEST(EntryLine, HostNamesAndTextsThatWouldNotReadBack) {
    auto record = parseEntryLine("00:0c:29:aa:bb:cc\t10.0.0.5\t:100", true);
    ASSERT_TRUE(record);
    for (const char* host : {"10.9.9.9", "a #b", "#x", "tab\there", "line\nbreak"}) {
        record->hostName = host;
        EXPECT_EQ(formatted(*record, EntryFormat::Static), "00:0c:29:aa:bb:cc\t10.0.0.5\t:100") << host;
    }
    record->hostName.clear();
    record->remark = "two\nlines";
    EXPECT_EQ(formatted(*record, EntryFormat::Static), "00:0c:29:aa:bb:cc\t10.0.0.5\t:100\t#two?lines");
}

TEST(EntryLine, NeverReadsBeyondTheText) {
    // Every prefix, in a buffer of exactly its size, so that a read past the end is caught.
    const std::string full = kFullDynamicLine;
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const std::vector<char> exact(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        (void)parseEntryLine(std::string_view(exact.data(), exact.size()), true);
        (void)parseEntryLine(std::string_view(exact.data(), exact.size()), false);
    }
    // Only the first 1023 characters are the line.
    std::string longLine = "00:0c:29:aa:bb:cc\t10.0.0.1\t" + std::string(996, 'P');
    ASSERT_EQ(longLine.size(), kMaxEntryLine);
    auto record = parseEntryLine(longLine + "\t#remark", true);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->remark, "");
    EXPECT_EQ(record->profile, std::string(23, 'P'));
}

// Imported lines that parse, but not into what was typed: the problem names the field.
TEST(EntryLine, TypedLinesThatWouldNotBeTakenAsTyped) {
    struct Case {
        const char* line;
        const char* problem;  // nullptr: taken as typed
    };
    const Case cases[] = {
        {"00-11-22-33-44-55\t10.0.0.5\t:1700000000\tStandard\t#a #b", nullptr},
        {"00:11:22:33:44:55\tpc5\t10.0.0.5\tLab #desk", nullptr},
        {"00:11:22:33:44:55", nullptr},
        {"00:11:22:33:44:55\t1234\t10.0.0.5", nullptr},  // a host name of digits
        {"00:11:22:33:44:5566\t10.0.0.5", "00:11:22:33:44:5566: a MAC address is six numbers"},
        {"00:11:22:33:44:55\t10.0.0.300\tLab", "10.0.0.300: not an IPv4 address"},
        {"00:11:22:33:44:55\t10.0.0.5x", "10.0.0.5x: not an IPv4 address"},
        {"00:11:22:33:44:55\t10.0.0.5 Lab", "10.0.0.5 Lab: not an IPv4 address"},
        {"00:11:22:33:44:55\tpc5\tLab", "Lab: not an IPv4 address"},
        {"00:11:22:33:44:55\tpc5", "pc5: no IPv4 address after the host name"},
        {"00:11:22:33:44:55\t10.0.0.5\t=10.0.0.1\tBuilding7-Floor3-Labs-AB",
         "Building7-Floor3-Labs-AB: a profile name has at most 23 characters"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(parseEntryLine(c.line, false)) << c.line;
        const std::optional<std::string> problem = typedEntryProblem(c.line);
        if (c.problem == nullptr) {
            EXPECT_FALSE(problem) << c.line << ": " << problem.value_or("");
        } else {
            EXPECT_TRUE(problem && problem->starts_with(c.problem)) << c.line << ": " << problem.value_or("none");
        }
    }
}

}  // namespace
}  // namespace tolmark

#include "server/leases/client_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "base/error_text.h"
#include "server/leases/client_rules.h"
#include "tests/support/fakes.h"

namespace tolmark::testing {

// Hard links can be refused, as a file system without them refuses them; meanwhile each rename
// notes a target that was not there, a moment at which its name named no file. Only the one
// step that sets the switch looks, so that renames of other tests' threads never touch the list.
std::atomic<bool> refuseLinks = false;
std::vector<std::string> renamedOntoNothing;

}  // namespace tolmark::testing

extern "C" int link(const char* from, const char* to) noexcept {
    if (tolmark::testing::refuseLinks) {
        errno = EPERM;
        return -1;
    }
    return ::linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    if (tolmark::testing::refuseLinks && ::access(to, F_OK) != 0) tolmark::testing::renamedOntoNothing.emplace_back(to);
    return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace tolmark {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNow = 1700000000;

Profile poolProfile(std::string name, Ipv4 base, std::int32_t range) {
    Profile p;
    p.name = std::move(name);
    p.baseIp = base;
    p.range = range;
    return p;
}

class ClientFilesTest : public ::testing::Test {
protected:
    ClientFilesTest() {
        std::string pattern = (fs::temp_directory_path() / "client_files_XXXXXX").string();
        directory_ = mkdtemp(pattern.data());
        files.ethers.path = directory_ + "/ethers";
        files.dynamic.path = directory_ + "/dynamic";
        files.ignored.path = directory_ + "/ignored";
        profiles.assign(
            {poolProfile("Standard", makeIpv4(10, 0, 0, 100), 50), poolProfile("Lab", makeIpv4(10, 0, 1, 10), 20)});
        settings.autoExclude = 0;
    }
    ~ClientFilesTest() override { fs::remove_all(directory_); }

    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    LoadCounts load() { return loadClientFiles(table, profiles, files, settings, log, kNow); }
    bool save(ClientList list) {
        table.markChanged(list);
        return saveChangedLists(table, files, settings, log);
    }
    std::vector<const ClientRecord*> records(ClientList list) const {
        std::vector<const ClientRecord*> result;
        for (const ClientRecord* r = table.first(list); r != nullptr; r = table.next(*r)) result.push_back(r);
        return result;
    }
    bool logged(const std::string& text) const {
        return std::find(log.lines.begin(), log.lines.end(), text) != log.lines.end();
    }

    std::string directory_;
    testing::CapturingLog log{3};
    ClientTable table{log};
    ProfileList profiles;
    GeneralSettings settings;
    ClientFiles files;
};

TEST_F(ClientFilesTest, FileNamesFromTheConfigurationOrTheDataDirectory) {
    ConfigStore store(directory_ + "/registry.ini");
    ASSERT_TRUE(store.setIniPath(directory_ + "/", "Dorvane"));
    ASSERT_TRUE(store.writeText(kGeneralSection, "Dynamic", "/srv/leases"));
    const ClientFiles paths = clientFilePaths(store, "/var/lib/tolmark/");
    EXPECT_EQ(paths.ethers.path, "/var/lib/tolmark/ethers");
    EXPECT_EQ(paths.dynamic.path, "/srv/leases");
    EXPECT_EQ(paths.ignored.path, "/var/lib/tolmark/ignored");
}

TEST_F(ClientFilesTest, DynamicFileRoundTripsAndDeletedRecordsReloadAsFree) {
    const std::string content =
        "00:0c:29:aa:bb:01\t10.0.1.15\t:1700003600\t=10.0.1.1\tLab\t@printer-3\t#printer\n"
        "00:0c:29:aa:bb:02\t10.0.0.101\t:1600000000\tStandard\t@laptop\n"
        "01020304050607\t10.0.0.102\t:4294967295\n"
        "00:0c:29:aa:bb:cc:dd:ee\t10.0.0.103\t:1700003600\n";  // a hardware address of 8 bytes
    write(files.dynamic.path, content);
    EXPECT_EQ(load().dynamicActive, 3u);
    auto dynamic = records(ClientList::Dynamic);
    ASSERT_EQ(dynamic.size(), 4u);
    EXPECT_EQ(dynamic[0]->lastAccess, 0);
    EXPECT_EQ(dynamic[0]->remark, "printer");
    EXPECT_EQ(dynamic[1]->hostName, "laptop");  // its DNS records are removed under it when it ends
    EXPECT_EQ(dynamic[3]->identity->length(), 8);
    ASSERT_TRUE(save(ClientList::Dynamic));
    EXPECT_EQ(read(files.dynamic.path), content);

    // The pipe's delete leaves a kind-128 record in place; the lines after it must still load.
    ASSERT_TRUE(deleteRecord(table, ClientList::Dynamic, *table.first(ClientList::Dynamic)));
    ASSERT_TRUE(saveChangedLists(table, files, settings, log));
    EXPECT_EQ(read(files.dynamic.path),
              "00:00:00:00:00:00\t10.0.1.15\t:0\t=10.0.1.1\tLab\n" + content.substr(content.find('\n') + 1));

    ClientTable reloaded{log};
    ClientFiles again = files;
    loadClientFiles(reloaded, profiles, again, settings, log, kNow);
    const ClientRecord* free = reloaded.first(ClientList::Dynamic);
    ASSERT_NE(free, nullptr);
    EXPECT_EQ(free->expiry, 0);
    EXPECT_EQ(free->address, makeIpv4(10, 0, 1, 15));
    EXPECT_EQ(reloaded.count(ClientList::Dynamic).total, 4);
}

TEST_F(ClientFilesTest, EthersWithCommentsAndCrLf) {
    settings.regOnly = 1;
    write(files.ethers.path,
          "# static clients\r\n"
          "00-0C-29-AA-BB-CC host1\t10.0.0.5\r\n"
          "#\r\n"
          "00:0c:29:aa:bb:dd\t10.0.0.6\t:1699990000\tLab\t#desk 12 with a remark much longer than the field\r\n"
          "00:0c:29:aa:bb:ee\t10.0.0.7\tLab # printer\r\n"
          "    # indented\r\n"
          " \t00:0c:29:aa:bb:ff 10.0.0.8\r\n");
    const LoadCounts counts = load();
    EXPECT_EQ(counts.staticTotal, 4u);
    EXPECT_EQ(counts.staticSeen, 1u);
    auto statics = records(ClientList::Static);
    ASSERT_EQ(statics.size(), 4u);
    EXPECT_EQ(statics[3]->address, makeIpv4(10, 0, 0, 8));
    EXPECT_EQ(statics[2]->profile, "Lab");
    EXPECT_EQ(statics[2]->remark, " printer");
    EXPECT_EQ(statics[0]->hostName, "host1");
    EXPECT_EQ(statics[0]->address, makeIpv4(10, 0, 0, 5));
    EXPECT_EQ(statics[0]->profile, "Standard");
    EXPECT_EQ(statics[1]->remark, "desk 12 with a remark much long");

    EXPECT_TRUE(logged("loading " + files.ethers.path + " \n"));
    EXPECT_TRUE(logged("1: 00:0c:29:aa:bb:cc\thost1\t10.0.0.5\n"));
    EXPECT_TRUE(logged("3: 00:0c:29:aa:bb:dd\t10.0.0.6\t:1699990000\tLab\t#desk 12 with a remark much long\n"));
    EXPECT_TRUE(logged("configured entries 4/0/0\n"));
    EXPECT_TRUE(logged("responding only to known addresses\n"));

    settings.updateEthers = 1;
    ASSERT_TRUE(save(ClientList::Static));
    EXPECT_EQ(read(files.ethers.path),
              "00:0c:29:aa:bb:cc\t10.0.0.5\n"
              "00:0c:29:aa:bb:dd\t10.0.0.6\t:1699990000\tLab\t#desk 12 with a remark much long\n"
              "00:0c:29:aa:bb:ee\t10.0.0.7\tLab\t# printer\n"
              "00:0c:29:aa:bb:ff\t10.0.0.8\n");
    settings.updateEthers = 3;
    ASSERT_TRUE(save(ClientList::Static));
    EXPECT_EQ(read(files.ethers.path).rfind("00:0c:29:aa:bb:cc\thost1\t10.0.0.5\n00:0c:29:aa:bb:dd", 0), 0u);

    // An entry added without a profile name is the first profile's, and stays its after a restart
    // (a line without a profile loads as "Standard").
    profiles.assign(
        {poolProfile("Lab", makeIpv4(10, 0, 1, 10), 20), poolProfile("Standard", makeIpv4(10, 0, 0, 100), 50)});
    ClientFields unnamed = parseEntryLine("00:0c:29:aa:bb:99\t10.0.0.9", true).value();
    unnamed.profile.clear();
    ASSERT_NE(addStatic(table, unnamed, false, profiles), nullptr);
    unnamed.address = 0;
    EXPECT_EQ(addStatic(table, unnamed, false, profiles), nullptr);  // the same client of the same profile
    ASSERT_TRUE(saveChangedLists(table, files, settings, log));
    ClientTable reloaded{log};
    loadList(reloaded, ClientList::Static, profiles, files.ethers, settings, log, kNow);
    EXPECT_EQ(reloaded.last(ClientList::Static)->profile, "Lab");
}

TEST_F(ClientFilesTest, DynamicRecordsOutsideTheirPoolOrRepeatedAreDropped) {
    write(files.dynamic.path,
          "00:0c:29:aa:bb:01\t10.0.0.100\t:0\n"
          "00:0c:29:aa:bb:02\t10.0.0.100\t:0\n"      // same address again
          "00:0c:29:aa:bb:03\t10.0.9.9\t:0\tLab\n"   // outside Lab's pool
          "00:0c:29:aa:bb:04\t10.0.9.9\t:0\tGone\n"  // profile no longer exists: kept
          "00:0c:29:aa:bb:05\t10.0.0.101\t:0\n");
    load();
    ASSERT_EQ(records(ClientList::Dynamic).size(), 3u);
    ASSERT_TRUE(save(ClientList::Dynamic));
    EXPECT_EQ(read(files.dynamic.path),
              "00:0c:29:aa:bb:01\t10.0.0.100\t:0\n"
              "00:0c:29:aa:bb:04\t10.0.9.9\t:0\tGone\n"
              "00:0c:29:aa:bb:05\t10.0.0.101\t:0\n");
}

// Lines an administrator's hand, a copy or a merge can leave: each gives one clear line at the
// default log level, and the lines around it load as ever.
TEST_F(ClientFilesTest, LinesAtTheEdgesAreLoggedAndHarmNothingElse) {
    struct Row {
        const char* what;
        ClientList list;
        std::string content;
        std::size_t loaded;
        std::string logged;  // with the file's path in front
    };
    const std::string longHost(1100, 'h');
    std::string flood;  // one client more than the ignored list keeps, the most recent first
    for (std::size_t i = 0; i <= kMaxIgnoredClients; ++i) {
        char line[40];
        std::snprintf(line, sizeof line, "02:00:00:00:%02zx:%02zx\t0.0.0.0\t:1700000000\n", i >> 8, i & 0xFF);
        flood += line;
    }
    const Row rows[] = {
        {"a line beyond 1023 characters", ClientList::Static,
         "00:0c:29:aa:bb:01\t" + longHost + "\t10.0.0.5\n00:0c:29:aa:bb:02\t10.0.0.6\n", 2,
         " 0: longer than 1023 characters, the rest of the line not read\n"},
        {"one client twice in one profile", ClientList::Static,
         "00:0c:29:aa:bb:01\t10.0.0.5\n00:0c:29:aa:bb:02\t10.0.0.6\n00:0c:29:aa:bb:01\t10.0.0.7\n", 3,
         " 2: 00:0c:29:aa:bb:01 of Standard repeats an earlier line's client; this entry is served, the earlier one "
         "never\n"},
        {"an address that is none", ClientList::Dynamic,
         "00:0c:29:aa:bb:01\t10.0.0.300\t:1700003600\n00:0c:29:aa:bb:02\t10.0.0.101\t:1700003600\n", 2,
         " 0: \"10.0.0.300\" is not an address\n"},
        {"a last line cut short", ClientList::Dynamic,
         "00:0c:29:aa:bb:01\t10.0.0.100\t:1700003600\n00:0c:29:aa:bb:02\t10.0.0.101\t:17000", 2,
         " 1: the last line has no line break (the file was cut short?): the time of 10.0.0.101 may be cut, held for "
         "36000 seconds\n"},
        {"a last line without its line break", ClientList::Dynamic,
         "00:0c:29:aa:bb:01\t10.0.0.100\t:1700003600\n00:0c:29:aa:bb:02\t10.0.1.15\t:0\tLab", 2,
         " 1: the last line has no line break (the file was cut short?)\n"},
        {"an address twice, lines apart", ClientList::Dynamic,
         "00:0c:29:aa:bb:01\t10.0.0.100\t:1700003600\n00:0c:29:aa:bb:02\t10.0.0.101\t:1700003600\n"
         "00:0c:29:aa:bb:03\t10.0.0.100\t:1700003600\n00:0c:29:aa:bb:04\t10.0.9.9\t:0\tLab\n",
         2,
         ": 2 lines not loaded (1 outside the profile's pool, 1 at an address loaded before), the first is line 2\n"},
        {"a file an editor began with a byte order mark", ClientList::Static,
         "\xEF\xBB\xBF"
         "00:0c:29:aa:bb:01\t10.0.0.5\r\n00:0c:29:aa:bb:02\t10.0.0.6\r\n",
         2, ""},
        {"files joined, the second begun with a byte order mark", ClientList::Dynamic,
         "# leases\n\xEF\xBB\xBF"
         "00:0c:29:aa:bb:01\t10.0.0.100\t:1700003600\n",
         1, ""},
        {"an ignored file longer than the list", ClientList::Ignored, flood, kMaxIgnoredClients,
         ": 1 lines past the 4096 most recent clients not loaded\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ClientTable fresh{log};
        ListFile file;
        file.path = files.of(row.list).path;
        write(file.path, row.content);
        log.lines.clear();
        log.setLevel(1);
        loadList(fresh, row.list, profiles, file, settings, log, kNow);
        std::size_t loaded = 0;
        for (const ClientRecord* r = fresh.first(row.list); r != nullptr; r = fresh.next(*r)) ++loaded;
        EXPECT_EQ(loaded, row.loaded);
        ASSERT_EQ(log.lines.size(), row.logged.empty() ? 0u : 1u);
        if (!row.logged.empty()) {
            EXPECT_NE(log.lines[0].find(file.path + row.logged), std::string::npos) << log.lines[0];
        }
    }
}

// A dynamic file cut short at every byte of its last lease: the lease before it loads whole, no
// address goes to a client other than its own, and a lease whose address came through whole
// keeps it in its pool and is never taken for one long over (its time may have lost digits, its
// profile name may be gone), so its address is not offered to another client while its holder
// still uses it.
TEST_F(ClientFilesTest, ALeaseCutShortAnywhereKeepsItsAddressFromOthers) {
    const std::string first = "00:0c:29:aa:bb:01\t10.0.1.12\t:1700003600\tLab\n";
    const struct {
        std::string last;
        Ipv4 address;
        const char* profile;
    } leases[] = {{"00:0c:29:aa:bb:02\t10.0.0.125\t:1700003600\t=10.0.0.1", makeIpv4(10, 0, 0, 125), "Standard"},
                  {"00:0c:29:aa:bb:02\t10.0.1.25\t:1700003600\tLab\t#desk", makeIpv4(10, 0, 1, 25), "Lab"}};
    for (const auto& lease : leases) {
        for (std::size_t n = 0; n <= lease.last.size(); ++n) {
            SCOPED_TRACE(lease.last.substr(0, n));
            ClientTable fresh{log};
            ListFile file;
            file.path = files.dynamic.path;
            write(file.path, first + lease.last.substr(0, n));
            loadList(fresh, ClientList::Dynamic, profiles, file, settings, log, kNow);
            const ClientRecord* before = fresh.first(ClientList::Dynamic);
            ASSERT_NE(before, nullptr);
            EXPECT_EQ(before->address, makeIpv4(10, 0, 1, 12));
            EXPECT_EQ(before->expiry, 1700003600);
            bool held = false;
            for (const ClientRecord* r = fresh.next(*before); r != nullptr; r = fresh.next(*r)) {
                if (r->address == 0) continue;
                EXPECT_STREQ(formatIdentity(r->identity).c_str(), "00:0c:29:aa:bb:02");
                EXPECT_EQ(r->address, lease.address);
                EXPECT_EQ(r->profile, lease.profile);
                EXPECT_GT(r->expiry, kNow);
                held = true;
            }
            // From where the address has come through whole.
            EXPECT_EQ(held, n >= lease.last.find("\t:"));
        }
    }
    // Held for the profile's lease time from the load, and said so.
    EXPECT_TRUE(logged("DHCP  Error   " + files.dynamic.path +
                       " 1: the last line has no line break (the file was cut short?): the time of 10.0.0.125 may be "
                       "cut, held for 36000 seconds\n"));
}

TEST_F(ClientFilesTest, ListsOfMoreThan65536RecordsAreSavedWhole) {
    // 100,000 leases of a /15 pool.
    profiles.assign({poolProfile("Big", makeIpv4(10, 2, 0, 0), 131072)});
    std::string content;
    for (std::uint32_t i = 0; i < 100000; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "00:0c:29:%02x:%02x:%02x\t10.%u.%u.%u\t:%u\n", (i >> 16) & 0xFF,
                      (i >> 8) & 0xFF, i & 0xFF, 2 + (i >> 16), (i >> 8) & 0xFF, i & 0xFF, 1700000000u + i);
        content += line;
    }
    write(files.dynamic.path, content);
    log.setLevel(2);
    EXPECT_EQ(load().dynamicActive, 100000u - 1);
    ASSERT_TRUE(save(ClientList::Dynamic));
    const std::string saved = read(files.dynamic.path);
    EXPECT_EQ(saved.size(), content.size());
    EXPECT_TRUE(saved == content);
}

TEST_F(ClientFilesTest, AutoExcludeReservesStaticAddressesInThePools) {
    settings.autoExclude = 1;
    // The entry was added while the server was stopped, at the address of a lease that still
    // runs: the lease ends at load, and whoever keeps its names outside the table hears of it.
    write(files.ethers.path, "00:0c:29:aa:bb:cc\t10.0.0.120\n00:0c:29:aa:bb:dd\t192.168.9.9\n");
    write(files.dynamic.path, "00:0c:29:11:22:33\t10.0.0.120\t:" + std::to_string(kNow + 600) + "\n");
    std::vector<std::string> ended;
    loadClientFiles(table, profiles, files, settings, log, kNow, [&](const ClientRecord& lease) {
        ended.push_back(std::string(formatIdentity(lease.identity).c_str()) + " " + formatIpv4(lease.address).c_str());
    });
    EXPECT_EQ(ended, std::vector<std::string>{"00:0c:29:11:22:33 10.0.0.120"});
    auto dynamic = records(ClientList::Dynamic);
    ASSERT_EQ(dynamic.size(), 1u);
    EXPECT_EQ(dynamic[0]->expiry, kExpiryReserved);
    ASSERT_TRUE(saveChangedLists(table, files, settings, log));
    EXPECT_EQ(read(files.dynamic.path), "00:00:00:00:00:00\t10.0.0.120\t:4294967295\n");
}

TEST_F(ClientFilesTest, LinesAfterAStopAreKeptInTheFile) {
    const std::string hidden = "\n00:0c:29:aa:bb:02\t10.0.0.7\n# parked\n";
    write(files.ethers.path, "00:0c:29:aa:bb:01\t10.0.0.6\n" + hidden);
    write(files.ignored.path, "00:0c:29:aa:bb:03\t0.0.0.0\nnot-an-id\t10.0.0.8\n00:0c:29:aa:bb:04\t0.0.0.0\n");
    load();
    EXPECT_EQ(records(ClientList::Static).size(), 1u);
    EXPECT_EQ(records(ClientList::Ignored).size(), 1u);
    EXPECT_TRUE(logged(files.ethers.path + " 1: empty line, 3 lines from here kept unloaded\n"));
    EXPECT_TRUE(
        logged("DHCP  Error   " + files.ignored.path + " 1: no client identity, 2 lines from here kept unloaded\n"));

    ASSERT_NE(addStatic(table, parseEntryLine("00:0c:29:aa:bb:09\t10.0.0.9", true).value(), false, profiles), nullptr);
    ASSERT_TRUE(saveChangedLists(table, files, settings, log));
    EXPECT_EQ(read(files.ethers.path), "00:0c:29:aa:bb:01\t10.0.0.6\n00:0c:29:aa:bb:09\t10.0.0.9\n" + hidden);
    ASSERT_TRUE(save(ClientList::Ignored));
    EXPECT_EQ(read(files.ignored.path),
              "00:0c:29:aa:bb:03\t0.0.0.0\nnot-an-id\t10.0.0.8\n00:0c:29:aa:bb:04\t0.0.0.0\n");

    // Blank lines at the end hide nothing and are not carried.
    write(files.dynamic.path, "00:0c:29:aa:bb:05\t10.0.0.105\t:0\n\n \r\n");
    ClientTable other{log};
    ClientFiles again = files;
    loadList(other, ClientList::Dynamic, profiles, again.dynamic, settings, log, kNow);
    EXPECT_TRUE(again.dynamic.keptTail.empty());
}

TEST_F(ClientFilesTest, BackupOnlyOfFilesAbove24Bytes) {
    write(files.ignored.path, "00:0c:29:aa:bb:01\t0.0.0.0");  // 25 bytes
    load();
    ASSERT_TRUE(save(ClientList::Ignored));
    EXPECT_EQ(read(files.ignored.path + ".bak"), "00:0c:29:aa:bb:01\t0.0.0.0");

    // On a file system without hard links the backup is a copy: the file is in its place at
    // every step of the save, so that a crash amid it never leaves the server without one.
    write(files.ignored.path, "00:0c:29:aa:bb:02\t0.0.0.0\n");
    testing::refuseLinks = true;
    testing::renamedOntoNothing.clear();
    const bool saved = save(ClientList::Ignored);
    testing::refuseLinks = false;
    ASSERT_TRUE(saved);
    EXPECT_EQ(testing::renamedOntoNothing, std::vector<std::string>{});
    EXPECT_EQ(read(files.ignored.path + ".bak"), "00:0c:29:aa:bb:02\t0.0.0.0\n");
    EXPECT_EQ(read(files.ignored.path), "00:0c:29:aa:bb:01\t0.0.0.0\n");

    // A backup name that cannot be replaced (a directory there): the saves go on, and say so
    // once rather than at every save.
    fs::remove(files.ignored.path + ".bak");
    fs::create_directories(files.ignored.path + ".bak/inside");
    log.lines.clear();
    for (int period = 0; period < 3; ++period) ASSERT_TRUE(save(ClientList::Ignored));
    EXPECT_EQ(
        std::count_if(log.lines.begin(), log.lines.end(),
                      [](const std::string& line) { return line.find("failed to back up") != std::string::npos; }),
        1);

    fs::remove_all(files.ignored.path + ".bak");
    write(files.ignored.path, std::string(24, '#'));
    ASSERT_TRUE(save(ClientList::Ignored));
    EXPECT_FALSE(fs::exists(files.ignored.path + ".bak"));
    EXPECT_FALSE(fs::exists(files.ignored.path + ".tmp"));

    settings.backup = 0;
    ASSERT_TRUE(save(ClientList::Ignored));
    EXPECT_FALSE(fs::exists(files.ignored.path + ".bak"));

    // The new file keeps the old one's owner (when root saves) and mode; a link left under the
    // temporary name is replaced, never written through.
    const std::string elsewhere = directory_ + "/elsewhere";
    write(elsewhere, "kept");
    fs::create_symlink(elsewhere, files.ignored.path + ".tmp");
    fs::permissions(files.ignored.path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(files.ignored.path.c_str(), 65534, 65534), 0);
    }
    ASSERT_TRUE(save(ClientList::Ignored));
    struct stat st {};
    ASSERT_EQ(::stat(files.ignored.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(65534u, 65534u));
    }
    EXPECT_EQ(read(elsewhere), "kept");
}

// A client file kept elsewhere and linked into the data directory is saved where it lives, with
// its ".tmp" and ".bak" beside it, and the link stays. A link another user made is replaced
// instead: it must not lead the server to write where that user could not. A loop fails the save.
TEST_F(ClientFilesTest, AClientFileKeptElsewhereIsSavedThroughItsLink) {
    const std::string lease = "00:0c:29:aa:bb:01\t10.0.0.100\t:0\n";
    fs::create_directories(directory_ + "/kept");
    write(directory_ + "/kept/dynamic", lease);
    fs::create_symlink("kept/dynamic", directory_ + "/hop");
    fs::create_symlink("hop", files.dynamic.path);
    write(directory_ + "/kept/ethers", "");
    fs::create_symlink(directory_ + "/kept/ethers", files.ethers.path);
    fs::create_symlink("ignored", files.ignored.path);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::lchown(files.ethers.path.c_str(), 1234, 1234), 0);
    }
    load();
    table.markChanged(ClientList::Dynamic);
    table.markChanged(ClientList::Static);
    table.markChanged(ClientList::Ignored);
    EXPECT_FALSE(saveChangedLists(table, files, settings, log));

    EXPECT_TRUE(fs::is_symlink(files.dynamic.path));
    EXPECT_EQ(read(directory_ + "/kept/dynamic"), lease);
    EXPECT_EQ(read(directory_ + "/kept/dynamic.bak"), lease);
    for (const char* stray : {"/dynamic.bak", "/dynamic.tmp", "/hop.bak", "/kept/dynamic.tmp"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(directory_ + stray))) << stray;
    EXPECT_EQ(fs::is_symlink(files.ethers.path), !root);
    EXPECT_TRUE(fs::is_symlink(files.ignored.path));
    EXPECT_TRUE(
        logged("DHCP  Error   failed to save " + files.ignored.path + " (follow link: " + errorText(ELOOP) + ")\n"));
}

TEST_F(ClientFilesTest, FailedSaveStaysMarkedChanged) {
    write(files.dynamic.path, "00:0c:29:aa:bb:01\t10.0.0.100\t:0\n");
    load();
    const std::string original = read(files.dynamic.path);

    // The file's name is taken by a directory: the new file cannot replace it.
    ClientFiles blocked = files;
    blocked.dynamic.path = directory_ + "/taken";
    fs::create_directories(blocked.dynamic.path + "/inside");
    table.markChanged(ClientList::Dynamic);
    table.markChanged(ClientList::Dynamic);
    EXPECT_FALSE(saveChangedLists(table, blocked, settings, log));
    EXPECT_EQ(table.changes(ClientList::Dynamic).load(), 2);
    EXPECT_FALSE(fs::exists(blocked.dynamic.path + ".tmp"));
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back().rfind("DHCP  Error   failed to save " + blocked.dynamic.path + " (rename: ", 0), 0u);
    // Tried again every period while it keeps failing the same way: no further line.
    const std::size_t linesAfterFirst = log.lines.size();
    log.setLevel(2);
    EXPECT_FALSE(saveChangedLists(table, blocked, settings, log));
    EXPECT_EQ(log.lines.size(), linesAfterFirst);

    // The temporary file cannot be created: another reason, another line.
    blocked.dynamic.path = directory_ + "/missing/dynamic";
    EXPECT_FALSE(saveChangedLists(table, blocked, settings, log));
    EXPECT_EQ(table.changes(ClientList::Dynamic).load(), 2);
    EXPECT_EQ(log.lines.size(), linesAfterFirst + 1);

    blocked.dynamic.path = files.dynamic.path;
    ASSERT_TRUE(saveChangedLists(table, blocked, settings, log));
    EXPECT_EQ(table.changes(ClientList::Dynamic).load(), 0);
    EXPECT_EQ(read(files.dynamic.path), original);
    EXPECT_EQ(log.lines.back(), "DHCP  Leases  saved " + files.dynamic.path + " again after 3 failed attempts\n");
}

TEST_F(ClientFilesTest, FileThatCannotBeReadIsNeverReplaced) {
    // A directory, a FIFO (opening it would wait for a writer) and a link to a device that reads
    // without end: none is read, none replaced.
    const std::vector<std::function<void(const std::string&)>> makers{
        [](const std::string& path) { fs::create_directories(path); },
        [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
        [](const std::string& path) { fs::create_symlink("/dev/zero", path); },
    };
    for (const auto& make : makers) {
        fs::remove_all(files.dynamic.path);
        log.lines.clear();
        make(files.dynamic.path);
        const fs::file_status before = fs::symlink_status(files.dynamic.path);
        load();
        EXPECT_TRUE(files.dynamic.replaceRefused);
        EXPECT_FALSE(save(ClientList::Dynamic));
        EXPECT_EQ(fs::symlink_status(files.dynamic.path).type(), before.type());
        EXPECT_TRUE(logged("DHCP  Error   cannot read " + files.dynamic.path + " (not a regular file)\n"));
    }
}

}  // namespace
}  // namespace tolmark

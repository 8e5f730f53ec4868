// Opening files below the root and the prefixes, uploads, shared mappings and netascii, on a
// temporary directory tree with symbolic links that stay inside or try to lead out, a FIFO, and
// the server's own files.

#include "server/tftp/file_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <tuple>
#include <vector>

#include "config/tests/temp_directory.h"
#include "tests/support/fakes.h"

namespace tolmark::tftp {
namespace {

using testing::readFile;
using testing::TempDirectory;
using testing::writeFile;

class FileAccess : public ::testing::Test {
protected:
    void SetUp() override {
        root = tmp.path() + "root/";
        outside = tmp.path() + "outside/";
        namespace fs = std::filesystem;
        fs::create_directories(root + "sub/deeper");
        fs::create_directories(outside);
        fs::create_directories(tmp.path() + "images/deep");
        writeFile(root + "boot.bin", "boot");
        writeFile(root + "sub/file", "sub");
        writeFile(root + "Dorvane.ini", "[Dorvane]");
        writeFile(root + "dynamic.bak", "old leases");
        writeFile(root + "dhcp2403.log", "log");
        writeFile(outside + "secret", "secret");
        writeFile(tmp.path() + "images/deep/a.bin", "image");
        writeFile(tmp.path() + "images/shallow.bin", "shallow");
        fs::create_symlink(outside + "secret", root + "abs-link");
        fs::create_symlink("../outside/secret", root + "rel-link");
        fs::create_symlink("sub/file", root + "inside-link");
        fs::create_symlink(root + "sub/file", root + "abs-inside");
        fs::create_symlink(root + "sub", root + "abs-dir");
        fs::create_symlink("../../boot.bin", root + "sub/deeper/up");
        fs::create_symlink("../../../outside/secret", root + "sub/deeper/out");
        fs::create_symlink("loop-b", root + "loop-a");
        fs::create_symlink("loop-a", root + "loop-b");
        fs::create_symlink(outside, root + "dir-link");
        fs::create_symlink("Dorvane.ini", root + "config-link");
        fs::create_hard_link(root + "Dorvane.ini", root + "config-copy");
        fs::create_symlink(outside + "secret", tmp.path() + "images/deep/escape");
        fs::create_symlink("../shallow.bin", tmp.path() + "images/deep/sneak");
        ASSERT_EQ(::mkfifo((root + "fifo").c_str(), 0644), 0);
        // A client file kept in the tree and linked into the data directory.
        fs::create_directories(tmp.path() + "data");
        fs::create_symlink(root + "sub/ethers", tmp.path() + "data/ethers");
        guard = ServerFileGuard(ServerFiles{
            root, {root + "Dorvane.ini", root + "dynamic", root + "ignored", tmp.path() + "data/ethers"}, root});
    }

    ResolvedPath below(const std::string& relative) { return {root + relative, root, relative, false}; }
    ResolvedPath prefixed(const std::string& item, const std::string& name) {
        return {name, item, name.substr(item.size()), true};
    }

    TempDirectory tmp;
    std::string root;
    std::string outside;
    MappingCache mappings;
    ServerFileGuard guard;
};

TEST_F(FileAccess, ReadsFollowLinksThatStayBelowAndRefuseTheRest) {
    struct Case {
        ResolvedPath path;
        unsigned code;  // 0: opened
        std::string content;
    };
    const std::string images = tmp.path() + "images";
    const std::vector<Case> cases = {
        {below("boot.bin"), 0, "boot"},
        {below("inside-link"), 0, "sub"},
        {below("abs-inside"), 0, "sub"},  // an absolute link that names a place below the root
        {below("abs-dir/file"), 0, "sub"},
        {below("sub/deeper/up"), 0, "boot"},  // ".." in a link goes up, as far as the root
        {below("//sub//./file"), 0, "sub"},
        {below("missing"), 1, ""},
        {below("sub"), 1, ""},  // a directory is no file
        {below(""), 1, ""},
        {below("fifo"), 1, ""},  // never opened, so nobody waits on it
        {below("boot.bin/x"), 1, ""},
        {below("boot.bin/"), 1, ""},  // a name with a final "/" names a directory
        {below("boot.bin/."), 1, ""},
        {below("inside-link/"), 1, ""},
        {below("abs-link"), 2, ""},
        {below("rel-link"), 2, ""},
        {below("dir-link/secret"), 2, ""},
        {below("sub/deeper/out"), 2, ""},
        {below("loop-a"), 2, ""},
        // The server's own files, by name, through a link and through another name.
        {below("Dorvane.ini"), 2, ""},
        {below("dynamic.bak"), 2, ""},
        {below("dhcp2403.log"), 2, ""},
        {below("config-link"), 2, ""},
        {below("config-copy"), 2, ""},
        {prefixed(images, images + "/deep/a.bin"), 0, "image"},
        {prefixed(images + "/de", images + "/deep/a.bin"), 0, "image"},
        {prefixed(images, images + "/deep/sneak"), 0, "shallow"},
        {prefixed(images + "/de", images + "/deep/sneak"), 2, ""},  // below the base, not the item
        {prefixed(images, images + "/deep/escape"), 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.full);
        OpenResult opened = openForReading(c.path, {}, mappings, guard);
        EXPECT_EQ(opened.ok, c.code == 0);
        EXPECT_EQ(opened.code, c.code);
        if (c.code == 2) {
            EXPECT_EQ(opened.text, ErrorText::AccessDenied);
        }
        if (!opened.ok) continue;
        char buffer[64] = {};
        EXPECT_EQ(::pread(opened.file.get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(c.content.size()));
        EXPECT_EQ(std::string(buffer), c.content);
        EXPECT_EQ(opened.size, c.content.size());
    }
}

// The server usually runs as a user of its own: what that user may not read or write is an
// access violation, not a missing file or a full disk. As root, the test's thread takes another
// file system user, which drops the capabilities that pass over permissions.
TEST_F(FileAccess, WhatTheServersUserMayNotReadOrWriteIsAnAccessViolation) {
    writeFile(root + "private.bin", "private");
    std::filesystem::create_directories(root + "closed");
    const std::vector<std::pair<std::string, mode_t>> modes = {{tmp.path(), 0755},        {root, 0755},
                                                               {root + "sub", 0555},      {root + "sub/file", 0444},
                                                               {root + "private.bin", 0}, {root + "closed", 0}};
    for (const auto& [path, mode] : modes) ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) ::setfsuid(65534);
    const std::vector<std::tuple<bool, std::string, unsigned>> cases = {{false, "sub/file", 0},
                                                                        {false, "private.bin", 2},
                                                                        {false, "closed/inner", 2},
                                                                        {true, "sub/new.bin", 2},
                                                                        {true, "nodir/new.bin", 3}};
    for (const auto& [upload, name, code] : cases) {
        SCOPED_TRACE(name);
        const OpenResult opened = upload ? openForWriting(below(name), {}) : openForReading(below(name), {}, mappings);
        EXPECT_EQ(opened.code, code);
        EXPECT_EQ(opened.text == ErrorText::AccessDenied, code == 2);
    }
    if (asRoot) ::setfsuid(0);
    for (const char* directory : {"closed", "sub"}) ::chmod((root + directory).c_str(), 0755);  // removable
}

std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(directory)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool writeAll(UploadFile& upload, const std::string& text) {
    return ::write(upload.fd(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

TEST_F(FileAccess, UploadsAppearOnlyWhenCompleteAndNeverLeaveTheRoot) {
    const std::vector<std::string> before = entries(root);
    OpenResult created = openForWriting(below("new.bin"), {});
    ASSERT_TRUE(created.ok);
    ASSERT_TRUE(writeAll(*created.upload, "abc"));
    EXPECT_FALSE(std::filesystem::exists(root + "new.bin"));  // not before it is complete
    // The server's working file is no file to download, nor to upload over.
    const std::vector<std::string> during = entries(root);
    std::vector<std::string> working;
    std::set_difference(during.begin(), during.end(), before.begin(), before.end(), std::back_inserter(working));
    ASSERT_EQ(working.size(), 1u);
    EXPECT_EQ(openForReading(below(working[0]), {}, mappings).code, 2u);
    EXPECT_EQ(openForWriting(below(working[0]), {true, 0}).code, 2u);
    ASSERT_TRUE(created.upload->commit());
    EXPECT_EQ(readFile(root + "new.bin"), "abc");

    // Under the server's closed mask a new file may be read by whom the directory lets reach it:
    // everyone in a root open to all, the group in one open to the group, nobody else in a
    // closed one. A default ACL of the directory (here: rw- for the owner, r-- for the group,
    // --- for others) decides instead.
    const std::string sub = root + "sub";
    for (const auto& [directory, defaultAcl, file] : std::vector<std::tuple<mode_t, bool, mode_t>>{
             {0755, false, 0644}, {0750, false, 0640}, {0700, false, 0600}, {0711, false, 0644}, {0755, true, 0640}}) {
        ASSERT_EQ(::chmod(sub.c_str(), directory), 0);
        // Version 2, then (tag, permissions, id): the owner, the owning group, others.
        const std::uint32_t acl[] = {2, 0x01 | 6u << 16, ~0u, 0x04 | 4u << 16, ~0u, 0x20, ~0u};
        if (defaultAcl && ::setxattr(sub.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) != 0) {
            std::printf("no default ACL on this file system: %s\n", std::strerror(errno));
            continue;
        }
        const mode_t mask = ::umask(027);
        OpenResult opened = openForWriting(below("sub/mode.bin"), {true, 0});
        ::umask(mask);
        ASSERT_TRUE(opened.ok && opened.upload->commit());
        struct stat status {};
        ASSERT_EQ(::stat((sub + "/mode.bin").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, file) << std::oct << directory << " " << defaultAcl;
        ASSERT_EQ(::unlink((sub + "/mode.bin").c_str()), 0);
        ::removexattr(sub.c_str(), "system.posix_acl_default");
    }
    ASSERT_EQ(::chmod(sub.c_str(), 0755), 0);

    OpenResult again = openForWriting(below("new.bin"), {});
    EXPECT_EQ(again.code, 6u);
    EXPECT_EQ(again.text, ErrorText::FileExists);

    // Overwriting replaces the file only when the upload completes; one still open for reading
    // keeps the old bytes. The new file has the old one's owner and mode, without its set-id bits.
    ASSERT_EQ(::chmod((root + "new.bin").c_str(), 04705), 0);
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown((root + "new.bin").c_str(), 1234, 5678), 0);
    }
    OpenResult reader = openForReading(below("new.bin"), {}, mappings);
    ASSERT_TRUE(reader.ok);
    OpenResult replaced = openForWriting(below("new.bin"), {true, 0});
    ASSERT_TRUE(replaced.ok);
    ASSERT_TRUE(writeAll(*replaced.upload, "xy"));
    EXPECT_EQ(readFile(root + "new.bin"), "abc");
    ASSERT_TRUE(replaced.upload->commit());
    char old[4] = {};
    EXPECT_EQ(::pread(reader.file.get(), old, 3, 0), 3);
    EXPECT_STREQ(old, "abc");
    EXPECT_EQ(readFile(root + "new.bin"), "xy");
    struct stat status {};
    ASSERT_EQ(::stat((root + "new.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0705u);
    if (asRoot) {
        EXPECT_EQ(status.st_uid, 1234u);
        EXPECT_EQ(status.st_gid, 5678u);
    }

    // An upload that does not complete leaves the old file as it was, and nothing else.
    OpenResult abandoned = openForWriting(below("new.bin"), {true, 0});
    ASSERT_TRUE(abandoned.ok);
    ASSERT_TRUE(writeAll(*abandoned.upload, "partial"));
    abandoned.upload.reset();
    EXPECT_EQ(readFile(root + "new.bin"), "xy");

    // Without overwriting, a file that took the name meanwhile is kept.
    OpenResult late = openForWriting(below("late.bin"), {});
    ASSERT_TRUE(late.ok);
    writeFile(root + "late.bin", "first");
    EXPECT_FALSE(late.upload->commit());
    EXPECT_EQ(errno, EEXIST);
    late.upload.reset();
    EXPECT_EQ(readFile(root + "late.bin"), "first");

    // A link in the root that leads out is replaced itself, never followed.
    OpenResult throughLink = openForWriting(below("abs-link"), {true, 0});
    ASSERT_TRUE(throughLink.ok);
    ASSERT_TRUE(throughLink.upload->commit());
    EXPECT_EQ(readFile(outside + "secret"), "secret");
    ASSERT_EQ(::lstat((root + "abs-link").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0022, 0u);  // not the 0777 of the link it replaced

    struct Refusal {
        ResolvedPath path;
        unsigned code;
        ErrorText text;
    };
    const std::uint64_t huge = std::uint64_t{1} << 62;
    for (const Refusal& r : std::vector<Refusal>{
             {below("dir-link/planted"), 2, ErrorText::AccessDenied},
             {below("nodir/x"), 3, ErrorText::CreateFailed},
             {below("sub"), 3, ErrorText::CreateFailed},
             {below("fresh/"), 3, ErrorText::CreateFailed},  // no file named "fresh" is made
             {below("sub/."), 3, ErrorText::CreateFailed},
             {below("Dorvane.ini"), 2, ErrorText::AccessDenied},
             {below("ignored"), 2, ErrorText::AccessDenied},  // not there yet: still the server's
             {below("ignored.tmp"), 2, ErrorText::AccessDenied},
             {below("sub/ethers.tmp"), 2, ErrorText::AccessDenied},  // saved where the link leads
             {below("dhcp2404.log"), 2, ErrorText::AccessDenied},
             {below("big.bin"), 3, ErrorText::DiskFull},  // a "tsize" over the free space
         }) {
        SCOPED_TRACE(r.path.full);
        OpenResult refused = openForWriting(r.path, {true, r.text == ErrorText::DiskFull ? huge : 0}, guard);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.code, r.code);
        EXPECT_EQ(refused.text, r.text);
    }
    EXPECT_EQ(readFile(root + "Dorvane.ini"), "[Dorvane]");
    std::vector<std::string> after = before;
    after.push_back("late.bin");
    after.push_back("new.bin");
    std::sort(after.begin(), after.end());
    EXPECT_EQ(entries(root), after);  // no temporary file is left anywhere
    EXPECT_EQ(entries(outside), std::vector<std::string>{"secret"});
}

// A server killed during an upload leaves its working file behind. The first upload into a
// directory removes there what earlier runs left; a file of a server that still runs, a running
// upload's own, whatever else looks alike, and other directories are not touched. Nor is one
// whose upload still runs in a server this one cannot see (another container on the same
// directory, whose process numbers mean nothing here): that upload holds its file locked.
TEST_F(FileAccess, AnUploadRemovesWhatKilledUploadsLeftInItsDirectory) {
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const pid_t running = ::fork();  // another process of this program
    if (running == 0) {
        ::pause();
        ::_exit(0);
    }
    const auto name = uploadWorkingName;
    struct Case {
        std::string name;
        bool removed;
        bool held = false;  // locked, as the running upload of an unseen server holds it
    };
    const bool asRoot = ::geteuid() == 0;
    const std::vector<Case> cases = {
        {name("boot.bin", ended, 0), true},
        {name("a.b.c", ended, 17), true},
        {name("x", running, 3), false},
        {name("x", ended, 4) + ".keep", false},
        {name("x", ended, 5).substr(1), false},
        {"." + std::to_string(ended) + ".upload", false},
        {"sub/" + name("y", ended, 0), false},  // left for an upload into sub/
        {name("link", ended, 0), false},        // a link, never one of the server's files
        {name("other", ended, 0), !asRoot},     // another user's (when root can make one)
        {name("held", ended, 6), false, true},
        {name("write-only", ended, 8), true},  // the mode of a file it was to replace
    };
    std::vector<platform::FileDescriptor> locks;
    for (const Case& c : cases) {
        writeFile(root + c.name, "partial");
        if (!c.held) continue;
        locks.emplace_back(::open((root + c.name).c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(locks.back().get(), LOCK_EX | LOCK_NB), 0);
    }
    ASSERT_EQ(::chmod((root + name("write-only", ended, 8)).c_str(), 0200), 0);
    std::filesystem::remove(root + name("link", ended, 0));
    std::filesystem::create_symlink("boot.bin", root + name("link", ended, 0));
    if (asRoot) {
        ASSERT_EQ(::chown((root + name("other", ended, 0)).c_str(), 1234, 1234), 0);
    }
    testing::CapturingLog log;
    UploadLeftovers leftovers(log);
    const WritePolicy policy{.leftovers = &leftovers};
    OpenResult first = openForWriting(below("sub/first.bin"), {});  // runs during the sweep of sub/
    ASSERT_TRUE(first.ok);
    OpenResult upload = openForWriting(below("new.bin"), policy);
    ASSERT_TRUE(upload.ok);
    for (const Case& c : cases) EXPECT_EQ(std::filesystem::exists(root + c.name), !c.removed) << c.name;
    EXPECT_EQ(log.lines.size(), asRoot ? 3u : 4u);
    const std::string removed =
        "TFTP  Removed " + root + name("boot.bin", ended, 0) + ", left by an upload that never ended\n";
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), removed), log.lines.end());

    // The running upload holds its working file locked against the sweep of any other server.
    for (const std::string& entry : entries(root + "sub/")) {
        if (uploadWorkingPid(entry) != ::getpid()) continue;
        const platform::FileDescriptor other(::open((root + "sub/" + entry).c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0) << entry;
    }
    // Into sub/: its leftover goes, the running upload's file stays and completes.
    ASSERT_TRUE(openForWriting(below("sub/second.bin"), policy).ok);
    EXPECT_FALSE(std::filesystem::exists(root + "sub/" + name("y", ended, 0)));
    ASSERT_TRUE(first.upload->commit());
    EXPECT_EQ(readFile(root + "sub/first.bin"), "");

    // Where another host's lock is not seen here (NFS mounted with nolock), a working file whose
    // writer does not run here may be that host's running upload: it goes once it has not
    // changed for an hour.
    std::filesystem::create_directory(root + "shared");
    const std::string runningElsewhere = "shared/" + name("fresh", ended, 0), old = "shared/" + name("old", ended, 0);
    writeFile(root + runningElsewhere, "partial");
    writeFile(root + old, "partial");
    const struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3601, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (root + old).c_str(), times, 0), 0);
    UploadLeftovers unseenLocks(log, WorkingFileLocks::ThisHostOnly);
    ASSERT_TRUE(openForWriting(below("shared/third.bin"), {.leftovers = &unseenLocks}).ok);
    EXPECT_TRUE(std::filesystem::exists(root + runningElsewhere));
    EXPECT_FALSE(std::filesystem::exists(root + old));
    ::kill(running, SIGKILL);
    ::waitpid(running, nullptr, 0);
}

// The sweep of another server on the same directory can come between an upload's creation of
// its working file and its lock. Whichever comes first, the upload never writes a file that is
// gone or that is another's: it leaves that name for a new one.
TEST_F(FileAccess, AnUploadGivesUpAWorkingFileTheSweepTookBeforeItsLock) {
    const pid_t ended = ::fork();  // the number the other server's name carries means nothing here
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    enum class Between { Nothing, SweepRemoved, SweepHolds, RemovedAndMadeAgain };
    const struct {
        Between between;
        bool held;
    } rows[] = {
        {Between::Nothing, true},
        {Between::SweepRemoved, false},
        {Between::SweepHolds, false},
        {Between::RemovedAndMadeAgain, false},
    };
    const platform::FileDescriptor directory(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::uint32_t counter = 0;
    for (const auto& row : rows) {
        const std::string name = uploadWorkingName("race.bin", ended, counter++);
        SCOPED_TRACE(name);
        const platform::FileDescriptor made(
            ::openat(directory.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ASSERT_TRUE(made);
        platform::FileDescriptor sweeper;
        if (row.between == Between::SweepHolds) {
            sweeper = platform::FileDescriptor(::openat(directory.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(sweeper.get(), LOCK_EX | LOCK_NB), 0);
        }
        if (row.between == Between::SweepRemoved || row.between == Between::RemovedAndMadeAgain) {
            testing::CapturingLog log;
            UploadLeftovers(log).sweepOnce(directory.get(), root);
            ASSERT_FALSE(std::filesystem::exists(root + name));
        }
        if (row.between == Between::RemovedAndMadeAgain) writeFile(root + name, "another's");
        EXPECT_EQ(holdWorkingFile(directory.get(), name, made.get()), row.held);
        if (!row.held) continue;
        // Held: the sweep of any server now leaves it.
        testing::CapturingLog log;
        UploadLeftovers(log).sweepOnce(directory.get(), root);
        EXPECT_TRUE(std::filesystem::exists(root + name));
        EXPECT_TRUE(log.lines.empty());
    }
}

TEST_F(FileAccess, TransfersOfOneFileShareOneMapping) {
    const std::string content(100000, 'm');
    writeFile(root + "big.bin", content);
    const ReadPolicy policy{false, true, 1u << 20};
    OpenResult first = openForReading(below("big.bin"), policy, mappings);
    OpenResult second = openForReading(below("big.bin"), policy, mappings);
    ASSERT_TRUE(first.mapping);
    EXPECT_EQ(first.mapping, second.mapping);
    EXPECT_FALSE(second.file.valid());
    EXPECT_EQ(second.size, content.size());
    std::weak_ptr<const FileMapping> watch = first.mapping;
    first.mapping.reset();
    EXPECT_FALSE(watch.expired());  // the second transfer still uses it

    // While a transfer holds the mapping, the file is replaced (a new file moved over it), then
    // rewritten in place, then removed: the next request gets the file as it is now.
    writeFile(root + "new.bin", std::string(5000, 'n'));
    ASSERT_EQ(::rename((root + "new.bin").c_str(), (root + "big.bin").c_str()), 0);
    OpenResult replaced = openForReading(below("big.bin"), policy, mappings);
    ASSERT_TRUE(replaced.mapping);
    EXPECT_NE(replaced.mapping, second.mapping);
    EXPECT_EQ(replaced.size, 5000u);
    ASSERT_EQ(::truncate((root + "big.bin").c_str(), 3000), 0);
    OpenResult cut = openForReading(below("big.bin"), policy, mappings);
    EXPECT_EQ(cut.size, 3000u);
    ASSERT_EQ(::unlink((root + "big.bin").c_str()), 0);
    EXPECT_FALSE(openForReading(below("big.bin"), policy, mappings).ok);
    writeFile(root + "big.bin", content);

    second.mapping.reset();
    EXPECT_TRUE(watch.expired());  // unmapped by the last user

    // Too large for "TFTPMMFmax", empty, or text mode: read normally.
    EXPECT_FALSE(openForReading(below("big.bin"), {false, true, 1000}, mappings).mapping);
    writeFile(root + "empty", "");
    EXPECT_FALSE(openForReading(below("empty"), policy, mappings).mapping);
    EXPECT_FALSE(openForReading(below("big.bin"), {true, true, 1u << 20}, mappings).mapping);
}

TEST_F(FileAccess, ReadAheadGivesEveryBlockAndKeepsTheWindow) {
    // A file of several read-ahead chunks, read as a window moves over it and goes back (a
    // retransmission), at sizes that end inside a block and at a block's end exactly.
    const std::size_t chunk = FileSource::kReadAheadBytes;
    for (const auto& [blockSize, window, size] : std::vector<std::tuple<std::size_t, std::size_t, std::size_t>>{
             {512, 1, 3 * chunk + 100}, {1468, 16, 2 * chunk}, {8192, 8, 4 * 8192 * 8}, {65464, 32, 33 * 65464 + 1}}) {
        SCOPED_TRACE(blockSize);
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 31 + i / 509);
        writeFile(root + "big.bin", content);
        OpenResult opened = openForReading(below("big.bin"), {false, false, 0}, mappings);
        ASSERT_TRUE(opened.ok);
        FileSource source(std::move(opened.file), blockSize, window, false, opened.size);
        EXPECT_LE(FileSource::bufferBytes(blockSize, window, false),
                  2 * std::max(chunk + blockSize, window * blockSize));
        const std::uint64_t blocks = size / blockSize + 1;  // the last one short or empty
        std::string stream;
        for (std::uint64_t i = 1; i <= blocks; ++i) {
            const auto block = source.block(i);
            ASSERT_TRUE(block);
            stream.append(block->begin(), block->end());
            // The blocks of the window before it are still there, with the same bytes.
            const std::uint64_t first = i > window ? i - window + 1 : 1;
            for (std::uint64_t j = first; j < i; ++j) {
                const auto again = source.block(j);
                ASSERT_TRUE(again);
                ASSERT_EQ(std::string(again->begin(), again->end()), content.substr((j - 1) * blockSize, blockSize));
            }
        }
        EXPECT_EQ(stream, content);
        EXPECT_TRUE(source.block(blocks + 1)->empty());
        // Back to the start after the end: read again.
        EXPECT_EQ(std::string(source.block(1)->begin(), source.block(1)->end()), content.substr(0, blockSize));
    }
}

// A file cut (or being rewritten in place) after it was opened: the blocks it no longer has are
// a failed read, never a short block that would end the transfer as if complete.
TEST_F(FileAccess, AFileCutUnderTheTransferIsAFailedReadNotAnEarlyEnd) {
    writeFile(root + "cut.bin", std::string(100000, 'x'));
    OpenResult opened = openForReading(below("cut.bin"), {false, false, 0}, mappings);
    ASSERT_TRUE(opened.ok);
    ASSERT_EQ(::truncate((root + "cut.bin").c_str(), 70000), 0);
    FileSource source(std::move(opened.file), 512, 1, false, opened.size);
    EXPECT_EQ(source.block(128)->size(), 512u);  // the first read-ahead chunk is all there
    EXPECT_FALSE(source.block(129));             // the second stops 30000 bytes early
    EXPECT_FALSE(source.block(196));             // the block that was the short last one

    // A file that grows meanwhile (written on, or rewritten longer) is sent as long as it was, as
    // announced in tsize and as a mapping of it would send it; in text mode too, where a cut
    // shows against the converted length.
    for (const auto& [text, length] : {std::pair{false, 200000}, std::pair{true, 70000}, std::pair{true, 200000}}) {
        writeFile(root + "grows.txt", std::string(100000, 'g'));
        opened = openForReading(below("grows.txt"), {text, false, 0}, mappings);
        ASSERT_TRUE(opened.ok);
        writeFile(root + "grows.txt", std::string(length, 'G'));
        FileSource changed(std::move(opened.file), 512, 1, text, opened.size);
        const auto last = changed.block(196);
        EXPECT_EQ(last.has_value(), length > 100000) << text;
        if (last) {
            EXPECT_EQ(last->size(), 100000u - 195 * 512);
        }
    }
}

TEST_F(FileAccess, NetasciiBlocksAndSizes) {
    // Line ends become CR LF and a lone CR becomes CR NUL; the size is the converted length.
    const std::string text = "one\ntwo\rthree\n\n" + std::string(1000, 'x') + "\n";
    std::string wire;
    for (char c : text)
        wire += c == '\n' ? std::string("\r\n") : c == '\r' ? std::string("\r\0", 2) : std::string(1, c);
    writeFile(root + "text.txt", text);
    OpenResult opened = openForReading(below("text.txt"), {true, false, 0}, mappings);
    ASSERT_TRUE(opened.ok);
    EXPECT_EQ(opened.size, wire.size());

    for (std::size_t blockSize : {8u, 9u, 512u}) {
        SCOPED_TRACE(blockSize);
        FileSource source(platform::FileDescriptor(::dup(opened.file.get())), blockSize, 2, true, opened.size);
        std::string stream;
        for (std::uint64_t i = 1;; ++i) {
            const auto block = source.block(i);
            ASSERT_TRUE(block);
            stream.append(block->begin(), block->end());
            // Going back a block (a retransmission) gives the same bytes again.
            if (i > 1) {
                EXPECT_EQ(source.block(i - 1)->size(), blockSize);
            }
            if (block->size() < blockSize) break;
        }
        EXPECT_EQ(stream, wire);
    }

    // And back: an upload in text mode is stored with the host's line ends, also when a CR LF
    // pair is split between two blocks.
    OpenResult upload = openForWriting(below("up.txt"), {});
    ASSERT_TRUE(upload.ok);
    FileSink sink(std::move(upload.upload), true);
    for (std::size_t at = 0; at < wire.size(); at += 7) {
        const std::string piece = wire.substr(at, 7);
        ASSERT_TRUE(sink.write(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size())));
    }
    ASSERT_TRUE(sink.finish());
    EXPECT_EQ(readFile(root + "up.txt"), text);
}

}  // namespace
}  // namespace tolmark::tftp

// Files of the log directory through the handler: searches, reading in pieces, writing, names
// that lead out of the directory, and per-connection handles.

#include "server/pipe/file_requests.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>

#include "platform/paths.h"

#include "server/pipe/tests/pipe_fixture.h"

namespace tolmark {
namespace {

using testing::PipeFixture;
using testing::putU64;
using testing::readFile;
using testing::u64At;
using testing::writeFile;

std::vector<std::uint8_t> texts(std::initializer_list<std::string> parts) {
    std::vector<std::uint8_t> bytes;
    for (const std::string& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
        bytes.push_back(0);
    }
    return bytes;
}

std::vector<std::uint8_t> handlePayload(std::uint64_t handle) {
    std::vector<std::uint8_t> payload(8, 0);
    putU64(payload, 0, handle);
    return payload;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

class FileRequestsTest : public ::testing::Test {
protected:
    FileRequestsTest() {
        admin.mayWrite = true;
        writeFile(fixture.logDirectory + "dhcp2412.log", "first\nsecond\n");
        writeFile(fixture.logDirectory + "dhcp2501.log", "");
        writeFile(fixture.logDirectory + "notes.txt", "x");
        writeFile(fixture.dataDirectory + "secret.log", "outside\n");
    }

    std::uint64_t open(PipeSession& session, const std::string& name, const std::string& mode) {
        const PipeMessage reply = fixture.send(session, PipeCode::FileOpen, 0, texts({name, mode}));
        EXPECT_EQ(reply.size, 16u) << name;
        return u64At(reply, 8);
    }
    PipeMessage readLine(PipeSession& session, std::uint64_t handle) {
        return fixture.send(session, PipeCode::FileReadLine, 0, handlePayload(handle));
    }
    std::vector<std::string> search(PipeSession& session, const std::string& pattern) {
        std::vector<std::string> names;
        PipeMessage reply = fixture.send(session, PipeCode::FileFindFirst, 0, texts({pattern}));
        if (reply.size == 8) {
            EXPECT_EQ(reply.value(), 0);
            return names;
        }
        EXPECT_EQ(reply.size, 336u);
        const std::uint64_t handle = u64At(reply, 8);
        while (reply.size == 336) {
            names.push_back(decodeFileSearchRecord(reply.payload().subspan(8))->name);
            reply = fixture.send(session, PipeCode::FileFindNext, 8, handlePayload(handle));
        }
        EXPECT_EQ(reply.size, 8u);
        EXPECT_EQ(reply.value(), 0);
        EXPECT_NE(fixture.send(session, PipeCode::FileFindClose, 8, handlePayload(handle)).value(), 0);
        std::sort(names.begin(), names.end());
        return names;
    }

    PipeFixture fixture;
    PipeSession admin;
    PipeSession reader;
};

TEST_F(FileRequestsTest, SearchListsMatchingFilesOfTheLogDirectory) {
    EXPECT_EQ(search(reader, "dhcp*.log"), (std::vector<std::string>{"dhcp2412.log", "dhcp2501.log"}));
    EXPECT_EQ(search(reader, "*.*"), (std::vector<std::string>{"dhcp2412.log", "dhcp2501.log", "notes.txt"}));
    EXPECT_TRUE(search(reader, "*.bak").empty());

    const PipeMessage reply = fixture.send(reader, PipeCode::FileFindFirst, 0, texts({"dhcp2412.log"}));
    const FileSearchEntry entry = *decodeFileSearchRecord(reply.payload().subspan(8));
    EXPECT_EQ(entry.attributes, kFileAttributeNormal);
    EXPECT_EQ(entry.size, 13u);
    EXPECT_GT(unixSecondsFromFileTime(entry.lastWriteTime), 1600000000);
}

TEST_F(FileRequestsTest, NamesLeadingOutOfTheLogDirectoryAreRefused) {
    for (const char* name : {"../data/secret.log", "/etc/passwd", "..", "sub/../../data/secret.log",
                             "./../data/secret.log", "", "dhcp2412.log/", "//etc/passwd"}) {
        EXPECT_EQ(open(admin, name, "r"), 0u) << name;
        EXPECT_TRUE(search(reader, name).empty()) << name;
    }
    for (const char* pattern : {"../data/*", "../*", "/tmp/*"}) EXPECT_TRUE(search(reader, pattern).empty()) << pattern;
    EXPECT_EQ(open(admin, "../escaped.log", "w"), 0u);
    EXPECT_FALSE(std::filesystem::exists(fixture.root.file("escaped.log")));

    // A NUL inside the name ends it: what follows is the mode, never part of the path.
    const PipeMessage tricked =
        fixture.send(admin, PipeCode::FileOpen, 0, texts({"dhcp2412.log", "/../../data/secret.log"}));
    EXPECT_EQ(tricked.size, 16u);
    EXPECT_EQ(u64At(tricked, 8), 0u);
    EXPECT_NE(open(reader, "dhcp2412.log", "r"), 0u);
}

// Only administrators open files that are no log files; others are refused, whatever the mode.
TEST_F(FileRequestsTest, APeerThatMayChangeNothingReadsLogFilesOnly) {
    writeFile(fixture.logDirectory + "Dorvane.ini", "[Dorvane]\nLeaseDatabase=password=secret\n");
    writeFile(fixture.logDirectory + "OLD.LOG", "x\n");
    struct Case {
        PipeSession* session;
        const char* name;
        bool opened;
        const char* mode = "r";
    };
    for (const Case& c :
         {Case{&reader, "Dorvane.ini", false}, Case{&reader, "notes.txt", false},
          Case{&reader, "dhcp2412.log.bak", false}, Case{&reader, ".log", false}, Case{&reader, "dhcp2412.log", true},
          Case{&reader, "OLD.LOG", true}, Case{&admin, "Dorvane.ini", true}, Case{&admin, "notes.txt", true},
          // A log file opened for update would be open for writing, whatever FileWrite then says.
          Case{&reader, "dhcp2412.log", false, "r+"}, Case{&reader, "dhcp2412.log", false, "rb+"},
          Case{&admin, "dhcp2412.log", true, "r+"}}) {
        const PipeMessage reply = fixture.send(*c.session, PipeCode::FileOpen, 0, texts({c.name, c.mode}));
        if (c.opened) {
            EXPECT_NE(u64At(reply, 8), 0u) << c.name << ' ' << c.mode;
        } else {
            EXPECT_EQ(reply.word(), kPipeRefused) << c.name << ' ' << c.mode;
        }
    }
}

TEST_F(FileRequestsTest, SymbolicLinksLeadingOutOfTheLogDirectoryAreRefused) {
    std::filesystem::create_symlink(fixture.dataDirectory + "secret.log", fixture.logDirectory + "link.log");
    std::filesystem::create_directory_symlink(fixture.dataDirectory, fixture.logDirectory + "up");
    EXPECT_EQ(open(reader, "link.log", "r"), 0u);
    EXPECT_EQ(open(reader, "up/secret.log", "r"), 0u);
    EXPECT_EQ(open(admin, "up/planted.log", "w"), 0u);
    EXPECT_FALSE(std::filesystem::exists(fixture.dataDirectory + "planted.log"));
    // Searches are confined the same way: the linked directory is not listed.
    EXPECT_TRUE(search(reader, "up/*").empty());
    EXPECT_TRUE(search(reader, "up/*.*").empty());
    // A link that stays inside is followed.
    std::filesystem::create_symlink("dhcp2412.log", fixture.logDirectory + "current.log");
    EXPECT_NE(open(reader, "current.log", "r"), 0u);
}

TEST_F(FileRequestsTest, LongLinesComeInPiecesOfAtMost2039Characters) {
    const std::string longLine(5000, 'x');
    writeFile(fixture.logDirectory + "long.log", longLine + "\nend\n");
    const std::uint64_t handle = open(reader, "long.log", "r");
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(fixture.flushes, 1);
    std::string joined;
    std::vector<std::size_t> pieces;
    for (PipeMessage reply = readLine(reader, handle); reply.size > 8; reply = readLine(reader, handle)) {
        ASSERT_EQ(reply.size, 8 + static_cast<std::size_t>(reply.value()) + 1);
        ASSERT_EQ(reply.bytes[reply.size - 1], 0);
        pieces.push_back(static_cast<std::size_t>(reply.value()));
        joined.append(reinterpret_cast<const char*>(reply.bytes.data() + 8), static_cast<std::size_t>(reply.value()));
    }
    EXPECT_EQ(pieces, (std::vector<std::size_t>{2039, 2039, 923, 4}));
    EXPECT_EQ(joined, longLine + "\nend\n");
    const PipeMessage end = readLine(reader, handle);
    EXPECT_EQ(end.size, 8u);
    EXPECT_EQ(end.value(), 0);
    // The server writes on: the reader gets the new line.
    std::FILE* log = std::fopen((fixture.logDirectory + "long.log").c_str(), "a");
    std::fputs("later\n", log);
    std::fclose(log);
    EXPECT_EQ(readLine(reader, handle).value(), 6);
    EXPECT_EQ(readLine(reader, handle).value(), 0);
    EXPECT_EQ(fixture.send(reader, PipeCode::FileClose, 0, handlePayload(handle)).value(), 0);
    EXPECT_EQ(readLine(reader, handle).value(), 0);  // closed: names nothing
}

TEST_F(FileRequestsTest, WriteAppendsWhatWasSent) {
    const std::uint64_t handle = open(admin, "notes.txt", "a");
    ASSERT_NE(handle, 0u);
    std::vector<std::uint8_t> payload = handlePayload(handle);
    const std::string text = "more\n";
    payload.insert(payload.end(), text.begin(), text.end());
    const PipeMessage reply = fixture.send(admin, PipeCode::FileWrite, 5, payload);
    EXPECT_EQ(reply.size, 8u);
    EXPECT_EQ(reply.value(), 5);
    EXPECT_EQ(readFile(fixture.logDirectory + "notes.txt"), "xmore\n");
    // A write the file system does not take whole (here: the file size limit) is no success.
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 8;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    const std::int32_t cut = fixture.send(admin, PipeCode::FileWrite, 5, payload).value();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(cut, 0);

    // A reader may open read-only, but not write through it.
    const std::uint64_t readOnly = open(reader, "dhcp2412.log", "r");
    ASSERT_NE(readOnly, 0u);
    EXPECT_EQ(fixture.send(reader, PipeCode::FileWrite, 1, handlePayload(readOnly)).word(), kPipeRefused);
}

TEST_F(FileRequestsTest, HandlesBelongToTheirConnectionAndCloseWithIt) {
    const std::size_t before = openDescriptors();
    std::uint64_t fileHandle = 0;
    {
        PipeSession session;
        fileHandle = open(session, "dhcp2412.log", "r");
        ASSERT_NE(fileHandle, 0u);
        const PipeMessage found = fixture.send(session, PipeCode::FileFindFirst, 0, texts({"*.log"}));
        ASSERT_EQ(found.size, 336u);
        EXPECT_GT(openDescriptors(), before);

        // Another connection cannot reach them.
        EXPECT_EQ(readLine(reader, fileHandle).value(), 0);
        EXPECT_EQ(fixture.send(reader, PipeCode::FileFindNext, 8, handlePayload(u64At(found, 8))).size, 8u);
        EXPECT_EQ(readLine(session, fileHandle).value(), 6);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(FileRequestsTest, ConnectionCannotHoldMoreThanItsShareOfFiles) {
    std::vector<std::uint64_t> handles;
    for (std::size_t i = 0; i < kMaxFilesPerConnection; ++i) handles.push_back(open(reader, "dhcp2412.log", "r"));
    EXPECT_EQ(std::count(handles.begin(), handles.end(), 0u), 0);
    EXPECT_EQ(open(reader, "dhcp2412.log", "r"), 0u);
    fixture.send(reader, PipeCode::FileClose, 0, handlePayload(handles[3]));
    const std::uint64_t reused = open(reader, "dhcp2412.log", "r");
    EXPECT_NE(reused, 0u);
    EXPECT_NE(reused, handles[3]);  // same slot, new generation
    EXPECT_EQ(readLine(reader, handles[3]).value(), 0);
}

TEST_F(FileRequestsTest, OnePeerHoldsAtMostItsBudgetOverAllItsConnections) {
    PeerCounter budget;
    auto connection = [&budget] {
        auto session = std::make_unique<PipeSession>();
        session->peer = localPeer(1234);
        session->handleBudget = &budget;
        session->handlesPerPeer = 3;
        session->unprivilegedHandles = 4;
        return session;
    };
    auto first = connection();
    auto second = connection();
    const std::uint64_t a = open(*first, "dhcp2412.log", "r");
    const PipeMessage found = fixture.send(*first, PipeCode::FileFindFirst, 0, texts({"*.log"}));
    EXPECT_NE(a, 0u);
    EXPECT_EQ(found.size, 336u);
    EXPECT_NE(open(*second, "dhcp2412.log", "r"), 0u);
    // The fourth, on either connection, is refused like an open that failed.
    EXPECT_EQ(open(*second, "dhcp2412.log", "r"), 0u);
    EXPECT_EQ(fixture.send(*second, PipeCode::FileFindFirst, 0, texts({"*.log"})).size, 8u);
    EXPECT_EQ(budget.held(localPeer(1234)), 3u);
    // Another user has a budget of its own.
    PipeSession other;
    other.peer = localPeer(99);
    other.handleBudget = &budget;
    other.handlesPerPeer = 3;
    other.unprivilegedHandles = 4;
    EXPECT_NE(open(other, "dhcp2412.log", "r"), 0u);
    // ...within the share of all users without write permission together.
    EXPECT_EQ(open(other, "dhcp2412.log", "r"), 0u);
    EXPECT_EQ(budget.held(kUnprivilegedPeers), 4u);
    // Closing one, or ending a connection, gives its share back.
    fixture.send(*first, PipeCode::FileClose, 0, handlePayload(a));
    EXPECT_NE(open(*second, "dhcp2412.log", "r"), 0u);
    first.reset();
    EXPECT_EQ(budget.held(localPeer(1234)), 2u);
    second.reset();
    EXPECT_EQ(budget.held(localPeer(1234)), 0u);
    EXPECT_EQ(budget.held(kUnprivilegedPeers), 1u);
}

TEST(ConfinedNames, OnlyRelativeNamesThatStayInside) {
    for (const char* good : {"dhcp.log", "sub/dhcp.log", "a..b", "..log", "dhcp*.log"})
        EXPECT_TRUE(isConfinedName(good)) << good;
    for (const char* bad : {"", "/x", "..", "../x", "a/../../x", "a//b", "a/", "a/.."})
        EXPECT_FALSE(isConfinedName(bad)) << bad;
    EXPECT_EQ(platform::directoryWithSeparator("/var/log/tolmark"), "/var/log/tolmark/");
    EXPECT_EQ(platform::directoryWithSeparator(""), "");
}

TEST(OpenModes, OnlyTheLibraryModes) {
    EXPECT_TRUE(openFlagsForMode("r").has_value());
    EXPECT_TRUE(openFlagsForMode("rb").has_value());
    EXPECT_TRUE(openFlagsForMode("a+t").has_value());
    for (const char* bad : {"", "x", "rw", "w!", "re"}) EXPECT_FALSE(openFlagsForMode(bad).has_value()) << bad;
}

}  // namespace
}  // namespace tolmark

#include "server/host/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/paths.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

using testing::FakeClock;

// 2024-03-07 14:05:09 UTC
constexpr std::int64_t kMarch7 = 1709820309;
constexpr std::int64_t kDay = 86400;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// What a stream (a tmpfile standing in for the error stream) holds; it is closed.
std::string readAndClose(std::FILE* stream) {
    std::string text;
    std::rewind(stream);
    for (int c; (c = std::fgetc(stream)) != EOF;) text += static_cast<char>(c);
    std::fclose(stream);
    return text;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() / ("logtest-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        prefix_ = dir_.string() + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    std::string prefix_;
    FakeClock clock_{kMarch7};
};

TEST_F(LogTest, FileNamesAndLineLayout) {
    std::tm date = clock_.localTime(kMarch7);
    EXPECT_EQ(Log::fileName(date, false), "dhcp2403.log");
    EXPECT_EQ(Log::fileName(date, true), "dhcp240307.log");

    Log log(clock_);
    ASSERT_NE(log.check(prefix_, 1, 0), nullptr);
    log.line(1, true, "DHCP  Start   Server on %s\n", "10.0.0.1");
    log.line(2, true, "detail that level 1 does not write\n");
    log.close();
    EXPECT_EQ(readFile(dir_ / "dhcp2403.log"), "2024-03-07 14:05:09 DHCP  Start   Server on 10.0.0.1\n");
}

TEST_F(LogTest, LevelsFollowTheLogSetting) {
    Log log(clock_);
    log.check(prefix_, 2, 0);
    EXPECT_EQ(log.level(), 2);
    log.line(2, false, "level two\n");
    log.line(3, false, "level three\n");
    // "Log" 0 switches everything off, error lines included.
    EXPECT_EQ(log.check(prefix_, 0, 0), nullptr);
    EXPECT_EQ(log.level(), 0);
    log.line(1, true, "DHCP  Error   lost\n");
    // Values above 2 outside the console mean 2.
    log.check(prefix_, 7, 0);
    EXPECT_EQ(log.level(), 2);
    log.close();
    std::string text = readFile(dir_ / "dhcp2403.log");
    EXPECT_NE(text.find("level two"), std::string::npos);
    EXPECT_EQ(text.find("level three"), std::string::npos);
    EXPECT_EQ(text.find("lost"), std::string::npos);
}

TEST_F(LogTest, DailyFilesRollOverAtTheFirstCheckOfANewDay) {
    Log log(clock_);
    log.check(prefix_, 1, 1);
    log.line(1, false, "first day\n");
    clock_.advance(kDay);
    log.line(1, false, "written before the check\n");  // still the old file
    log.check(prefix_, 1, 1);
    log.line(1, false, "second day\n");
    log.close();
    std::string first = readFile(dir_ / "dhcp240307.log");
    EXPECT_NE(first.find("written before the check"), std::string::npos);
    EXPECT_EQ(readFile(dir_ / "dhcp240308.log").find("second day"), 20u);
}

TEST_F(LogTest, FilesFollowTheDateAndTheDirectoryWhateverTheChecksInBetween) {
    // A quiet server sees its next check long after the last one: the file is the one named
    // for the date of the check, even where a month or a year later the day or month digits
    // are the same.
    constexpr std::int64_t kJanuary7 = kMarch7 - 60 * kDay;
    struct Row {
        const char* name;
        int createLog;
        std::int64_t from;
        std::int64_t to;
        const char* otherDirectory;
        const char* file;
    } rows[] = {
        {"next month, daily", 1, kMarch7, kMarch7 + 31 * kDay, nullptr, "dhcp240407.log"},
        {"next month, monthly", 0, kMarch7, kMarch7 + 31 * kDay, nullptr, "dhcp2404.log"},
        {"January to November", 0, kJanuary7, kJanuary7 + 310 * kDay, nullptr, "dhcp2411.log"},
        {"a year later", 0, kMarch7, kMarch7 + 365 * kDay, nullptr, "dhcp2503.log"},
        {"another directory", 1, kMarch7, kMarch7 + 60, "other/", "dhcp240307.log"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "other");
        clock_.set(row.from);
        Log log(clock_);
        ASSERT_NE(log.check(prefix_, 1, row.createLog), nullptr);
        clock_.set(row.to);
        const std::string directory = prefix_ + (row.otherDirectory != nullptr ? row.otherDirectory : "");
        ASSERT_NE(log.check(directory, 1, row.createLog), nullptr);
        log.line(1, false, "later\n");
        log.close();
        EXPECT_NE(readFile(directory + row.file).find("later"), std::string::npos);
    }
}

TEST_F(LogTest, AFileRemovedOrRotatedAwayIsOpenedAgain) {
    // logrotate renames the file or an administrator removes it: the lines that follow go to a
    // new file of the same name, at the next check or the idle loop's next flush.
    struct Row {
        const char* name;
        bool renamed;
        bool byFlush;
    } rows[] = {{"removed", false, false}, {"renamed", true, false}, {"removed, idle", false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        clock_.set(kMarch7);
        Log log(clock_);
        ASSERT_NE(log.check(prefix_, 1, 0), nullptr);
        log.line(1, true, "before\n");
        if (row.renamed) {
            std::filesystem::rename(dir_ / "dhcp2403.log", dir_ / "dhcp2403.log.1");
        } else {
            std::filesystem::remove(dir_ / "dhcp2403.log");
        }
        clock_.advance(1);
        if (row.byFlush) {
            log.flush();
        } else {
            log.check(prefix_, 1, 0);
        }
        log.line(1, true, "after\n");
        log.close();
        EXPECT_EQ(readFile(dir_ / "dhcp2403.log"), "2024-03-07 14:05:10 after\n");
        std::filesystem::remove(dir_ / "dhcp2403.log");
    }
}

TEST_F(LogTest, UnopenableOrTooLongPathStopsLoggingUntilALaterCheck) {
    std::FILE* error = std::tmpfile();
    ASSERT_NE(error, nullptr);
    Log log(clock_, stdout, error);
    EXPECT_EQ(log.check(prefix_ + "missing/", 1, 0), nullptr);
    EXPECT_EQ(log.level(), 0);
    EXPECT_EQ(log.check(prefix_ + "missing/", 1, 0), nullptr);
    const std::string missing = prefix_ + "missing/dhcp2403.log";
    ASSERT_NE(log.check(prefix_, 1, 0), nullptr);  // tried again
    EXPECT_EQ(log.level(), 1);
    // A path of 1024 characters or more keeps the open file in use.
    clock_.advance(40 * kDay);
    std::string longDir = prefix_ + std::string(1100, 'x') + "/";
    EXPECT_NE(log.check(longDir, 1, 0), nullptr);
    EXPECT_EQ(log.level(), 1);
    // ...and with no open file logging stops.
    Log fresh(clock_);
    EXPECT_EQ(fresh.check(longDir, 1, 0), nullptr);
    EXPECT_EQ(fresh.level(), 0);
    log.close();
    // The reason goes to the error stream (the system log of a service), once.
    EXPECT_EQ(readAndClose(error), "log file " + missing + " cannot be opened: " + std::strerror(ENOENT) +
                                       "; nothing is logged until it can be\n");
}

TEST_F(LogTest, AFullDiskIsReportedOnceAndLoggingGoesOnWhenThereIsRoomAgain) {
    std::filesystem::create_symlink("/dev/full", dir_ / "dhcp2403.log");
    std::FILE* error = std::tmpfile();
    ASSERT_NE(error, nullptr);
    Log log(clock_, stdout, error);
    ASSERT_NE(log.check(prefix_, 1, 0), nullptr);
    for (int i = 0; i < 3; ++i) {
        log.line(1, true, "lost %d\n", i);
        log.flush();
    }
    std::filesystem::remove(dir_ / "dhcp2403.log");
    clock_.advance(1);
    log.check(prefix_, 1, 0);
    log.line(1, true, "written\n");
    log.close();
    EXPECT_EQ(readFile(dir_ / "dhcp2403.log"), "2024-03-07 14:05:10 written\n");
    EXPECT_EQ(readAndClose(error), "log file " + prefix_ + "dhcp2403.log cannot be written: " + std::strerror(ENOSPC) +
                                       "; lines are lost until it can be\n");
}

TEST_F(LogTest, DirectoryWithOrWithoutItsFinalSlashHoldsTheFiles) {
    // The control pipe finds the files where they are written, whichever way "Directory" is stored.
    std::filesystem::create_directories(dir_ / "logs");
    Log log(clock_);
    ASSERT_NE(log.check(prefix_ + "logs", 1, 0), nullptr);
    log.close();
    EXPECT_TRUE(std::filesystem::exists(dir_ / "logs" / "dhcp2403.log"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "logsdhcp2403.log"));
    EXPECT_EQ(platform::pathInDirectory(prefix_ + "logs", "x"), platform::pathInDirectory(prefix_ + "logs/", "x"));
}

TEST_F(LogTest, ConsoleModeWritesEveryLineToTheConsole) {
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    Log log(clock_, console);
    log.setLevel(3);
    EXPECT_EQ(log.check(prefix_, 0, 0), console);  // "Log" 0 does not silence the console
    log.line(3, true, "%u: %s\n", 7u, "line");
    std::rewind(console);
    char text[128] = {};
    ASSERT_NE(std::fgets(text, sizeof text, console), nullptr);
    EXPECT_STREQ(text, "2024-03-07 14:05:09 7: line\n");
    std::fclose(console);
}

TEST_F(LogTest, FloodsOfOneErrorKindAreCountedNotWritten) {
    Log log(clock_, stdout, stderr, FloodLimitSettings{.burst = 5, .perSecond = 2});
    ASSERT_NE(log.check(prefix_, 2, 0), nullptr);
    for (unsigned i = 0; i < 1000; ++i) {
        log.line(1, true, "DHCP  Error   in request from %s (%s), len %u, if %s\n", "1.2.3.4", "x", i, "10.0.0.1");
        log.line(2, false, "DHCP  Ignored %s %u\n", "DISCOVER", i);
        // Lines that the network cannot flood, and other kinds, are never held back.
        if (i % 100 == 0) log.line(1, false, "DHCP  Request %u ACK\n", i);
    }
    log.line(1, false, "DHCP  Error   failed to send to %s\n", "10.0.0.9");
    clock_.advance(1);  // two more lines of each kind may be written: the count comes first
    log.line(1, false, "DHCP  Error   in request from %s (%s), len %u, if %s\n", "5.6.7.8", "x", 9u, "10.0.0.1");
    log.flush();
    // Held back just before the stop: the count is written as the log closes.
    log.line(1, false, "DHCP  Error   in request from %s (%s), len %u, if %s\n", "5.6.7.8", "x", 10u, "10.0.0.1");
    log.close();

    std::istringstream text(readFile(dir_ / "dhcp2403.log"));
    std::map<std::string, int> kinds;
    std::vector<std::string> reports;
    for (std::string line; std::getline(text, line);) {
        line = line.substr(20);
        if (line.find("suppressed") != std::string::npos) reports.push_back(line);
        kinds[line.substr(0, line.find_first_of("0123456789(["))]++;
    }
    EXPECT_EQ(kinds["DHCP  Error   in request from "], 5 + 1);  // the burst, and the line after the report
    EXPECT_EQ(kinds["DHCP  Ignored DISCOVER "], 5);
    EXPECT_EQ(kinds["DHCP  Request "], 10);
    EXPECT_EQ(kinds["DHCP  Error   failed to send to "], 1);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], "DHCP  Error   in request from ... [995 similar lines suppressed]");
    EXPECT_EQ(reports[1], "DHCP  Ignored ... [995 similar lines suppressed]");
    EXPECT_EQ(reports[2], "DHCP  Error   in request from ... [1 similar lines suppressed]");
}

TEST_F(LogTest, NamesFromPeersCannotForgeLinesAndTransferFloodsAreCounted) {
    Log log(clock_, stdout, stderr, FloodLimitSettings{.activityBurst = 5, .activityPerSecond = 2});
    ASSERT_NE(log.check(prefix_, 2, 0), nullptr);
    log.line(1, false, "DHCP  Request %s ACK %s %u\n", "pc\n2024-03-07 14:05:09 DHCP  Request evil ACK", "10.0.0.5",
             600u);
    log.line(2, false, "TFTP %8s Name %s Mode %s\n", "Get", "/srv/\x1b[2Jx\x7f\r", "octet");
    // Each download spelled differently: not one line repeated, but one kind.
    for (unsigned i = 0; i < 100; ++i) {
        const std::string path = "/srv/" + std::string(i, '.') + "/small.txt";
        log.line(1, false, "TFTP  %6us %s  %s  %s\n", 0u, "10.0.0.2", "Get/octet", path.c_str());
    }
    log.line(1, false, "loading %s \n", "ethers");  // no peer causes this kind
    clock_.advance(1);
    log.line(1, false, "TFTP  %6us %s  %s  %s\n", 0u, "10.0.0.2", "Get/octet", "/srv/last.txt");
    log.close();

    std::istringstream text(readFile(dir_ / "dhcp2403.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line.substr(20));
    ASSERT_EQ(lines.size(), 2u + 5u + 1u + 2u);
    EXPECT_EQ(lines[0], "DHCP  Request pc\\x0A2024-03-07 14:05:09 DHCP  Request evil ACK ACK 10.0.0.5 600");
    EXPECT_EQ(lines[1], "TFTP      Get Name /srv/\\x1B[2Jx\\x7F\\x0D Mode octet");
    EXPECT_EQ(lines[7], "loading ethers ");
    EXPECT_EQ(lines[8], "TFTP ... [95 similar lines suppressed]");
    EXPECT_EQ(lines[9], "TFTP       0s 10.0.0.2  Get/octet  /srv/last.txt");
}

TEST_F(LogTest, CountsOfRepeatedLinesCannotForgeLinesEither) {
    Log log(clock_, stdout, stderr, FloodLimitSettings{.repeatBurst = 1});
    ASSERT_NE(log.check(prefix_, 1, 0), nullptr);
    for (int i = 0; i < 3; ++i) log.line(1, false, "DHCP  Request %s ACK\n", "pc\n2024-03-07 14:05:09 forged\x1b[2J");
    clock_.advance(10);
    log.flush();
    log.close();
    EXPECT_EQ(readFile(dir_ / "dhcp2403.log"),
              "2024-03-07 14:05:09 DHCP  Request pc\\x0A2024-03-07 14:05:09 forged\\x1B[2J ACK\n"
              "2024-03-07 14:05:19 DHCP  Request pc\\x0A2024-03-07 14:05:09 forged\\x1B[2J ACK [2 identical lines "
              "suppressed]\n");
}

TEST_F(LogTest, LinesTooLongAreCutAndStillEndTheirLine) {
    // The line's text is cut at 4095 characters (the time stamp and its blank come before it),
    // whatever falls there: a peer's newline at the cut is no end of the line.
    Log log(clock_);
    ASSERT_NE(log.check(prefix_, 1, 0), nullptr);
    for (const std::string& name : {std::string(5000, 'a'), std::string(4094, 'b') + "\nforged"}) {
        log.line(1, false, "%s\n", name.c_str());
    }
    log.close();
    std::istringstream text(readFile(dir_ / "dhcp2403.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line.substr(20));
    EXPECT_EQ(lines, (std::vector<std::string>{std::string(4095, 'a'), std::string(4094, 'b') + "\\x0A"}));
}

TEST(LogFloodLimitTest, EachKindHasItsOwnBudgetAndCount) {
    LogFloodLimit limit(FloodLimitSettings{.burst = 1, .perSecond = 1});
    std::vector<std::string> formats;
    formats.reserve(10);
    for (int i = 0; i < 10; ++i) formats.push_back("TFTP  Error   kind " + std::to_string(i) + " %u");
    int admitted = 0;
    for (int round = 0; round < 3; ++round) {
        for (const std::string& f : formats) admitted += limit.admit(f.c_str(), f, 0) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 10);
    std::string line;
    EXPECT_FALSE(limit.takeReport(0, line)) << "no report before the kind may be written again";
    std::vector<std::string> reports;
    while (limit.takeReport(1, line)) reports.push_back(line);
    ASSERT_EQ(reports.size(), 10u);
    EXPECT_EQ(reports[3], "TFTP  Error   kind 3 ... [2 similar lines suppressed]\n");
    EXPECT_FALSE(LogFloodLimit::isLimitedKind("DHCP  Request %s ACK %s %u"));

    // 65 kinds flooding at once: the kind pushed out of its slot still has its count written.
    LogFloodLimit full(FloodLimitSettings{.burst = 1, .perSecond = 1});
    formats.clear();
    for (int i = 0; i < 65; ++i) formats.push_back("DHCP  Error   flood " + std::to_string(i) + " %u");
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < 64; ++i) full.admit(formats[i].c_str(), formats[i], 2);
    }
    EXPECT_TRUE(full.admit(formats[64].c_str(), formats[64], 2));
    reports.clear();
    while (full.takeReport(3, line)) reports.push_back(line);
    EXPECT_EQ(reports.size(), 64u);
    EXPECT_EQ(reports.front(), "DHCP  Error   flood 0 ... [1 similar lines suppressed]\n");
}

TEST(LogFloodLimitTest, BudgetsSurviveTheClockSetBack) {
    // Lines held back before the clock is set back an hour are counted a second later, not an
    // hour later; a clock set far forward refills no more than the burst.
    LogFloodLimit limit(FloodLimitSettings{.burst = 1, .perSecond = 1, .repeatBurst = 1, .repeatEverySeconds = 1});
    const char* error = "DHCP  Error   in request from %s";
    const std::int64_t ten = 1709805600;
    for (const char* text : {"DHCP  Error   in request from a", "DHCP  Error   in request from b"})
        limit.admit(error, text, ten);
    for (int i = 0; i < 2; ++i) limit.admit("DHCP  Request %s ACK", "DHCP  Request x ACK", ten);
    std::string line;
    EXPECT_FALSE(limit.takeReport(ten - 3600, line));
    std::vector<std::string> reports;
    while (limit.takeReport(ten - 3599, line)) reports.push_back(line);
    EXPECT_EQ(reports, (std::vector<std::string>{"DHCP  Error   in request from ... [1 similar lines suppressed]\n",
                                                 "DHCP  Request x ACK [1 identical lines suppressed]\n"}));
    EXPECT_TRUE(limit.admit(error, "DHCP  Error   in request from d", INT64_MAX));
    EXPECT_FALSE(limit.admit(error, "DHCP  Error   in request from e", INT64_MAX));
}

TEST(LogFloodLimitTest, OneClientRepeatingItselfIsWrittenNowAndThen) {
    LogFloodLimit limit(FloodLimitSettings{.burst = 100, .perSecond = 10, .repeatBurst = 3, .repeatEverySeconds = 10});
    const char* format = "DHCP  Request %s ACK %s %u\n";
    const std::string same = "DHCP  Request 02:00:00:00:00:01 ACK 10.0.0.5 600\n";
    int written = 0;
    for (int i = 0; i < 50; ++i) {
        written += limit.admit(format, same, 0) ? 1 : 0;
        // Other clients' lines of the same kind are not held back by it.
        EXPECT_TRUE(limit.admit(format, "DHCP  Request 02:00:00:00:00:" + std::to_string(10 + i) + " ACK\n", 0));
    }
    EXPECT_EQ(written, 3);
    std::string line;
    EXPECT_FALSE(limit.takeReport(9, line));
    ASSERT_TRUE(limit.takeReport(10, line));
    EXPECT_EQ(line, "DHCP  Request 02:00:00:00:00:01 ACK 10.0.0.5 600 [47 identical lines suppressed]\n");
    EXPECT_FALSE(limit.admit(format, same, 10)) << "the report took this period's line";
    EXPECT_TRUE(limit.admit(format, same, 20));
}

}  // namespace
}  // namespace tolmark

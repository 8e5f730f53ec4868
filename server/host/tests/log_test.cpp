#include "server/host/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

TEST_F(LogTest, SameDayDigitsAMonthLaterKeepTheOldDailyFile) {
    Log log(clock_);
    log.check(prefix_, 1, 1);
    clock_.set(kMarch7 + 31 * kDay);  // 2024-04-07
    log.check(prefix_, 1, 1);
    log.line(1, false, "april\n");
    log.close();
    EXPECT_NE(readFile(dir_ / "dhcp240307.log").find("april"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "dhcp240407.log"));
}

TEST_F(LogTest, MonthlyFilesRollOverWithTheMonth) {
    Log log(clock_);
    log.check(prefix_, 1, 0);
    clock_.set(kMarch7 + 31 * kDay);
    log.check(prefix_, 1, 0);
    log.line(1, false, "april\n");
    log.close();
    EXPECT_NE(readFile(dir_ / "dhcp2404.log").find("april"), std::string::npos);
}

TEST_F(LogTest, UnopenableOrTooLongPathStopsLoggingUntilALaterCheck) {
    Log log(clock_);
    EXPECT_EQ(log.check(prefix_ + "missing/", 1, 0), nullptr);
    EXPECT_EQ(log.level(), 0);
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
}

TEST_F(LogTest, DirectoryIsUsedAsAPrefixExactlyAsStored) {
    Log log(clock_);
    ASSERT_NE(log.check(prefix_ + "logs", 1, 0), nullptr);
    log.close();
    EXPECT_TRUE(std::filesystem::exists(dir_ / "logsdhcp2403.log"));
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

}  // namespace
}  // namespace tolmark

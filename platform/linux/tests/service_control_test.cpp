// The systemd back end against a temporary unit directory and a stand-in systemctl that
// records its arguments and answers "is-active" from a file.

#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tolmark::platform {
namespace {

class SystemdControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("svc-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "units");
        std::ofstream script(dir_ / "systemctl");
        script << "#!/bin/sh\necho \"$@\" >> " << (dir_ / "calls").string() << "\n"
               << "if [ \"$1\" = is-active ]; then cat " << (dir_ / "state").string() << "; fi\n";
        script.close();
        ::chmod((dir_ / "systemctl").c_str(), 0755);
        setState("inactive");
        ::setenv("TOLMARK_UNIT_DIR", (dir_ / "units").c_str(), 1);
        ::setenv("TOLMARK_SYSTEMCTL", (dir_ / "systemctl").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("TOLMARK_UNIT_DIR");
        ::unsetenv("TOLMARK_SYSTEMCTL");
        std::filesystem::remove_all(dir_);
    }
    void setState(const char* state) { std::ofstream(dir_ / "state") << state << "\n"; }
    std::string calls() {
        std::ifstream in(dir_ / "calls");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path dir_;
};

TEST_F(SystemdControlTest, CreateWritesAnEnabledNotifyUnitOnce) {
    auto control = makeServiceControl();
    ASSERT_TRUE(control->openManager());
    ASSERT_TRUE(control->createService("/opt/tolmark/Velkora", "Manages things"));
    std::ifstream unit(dir_ / "units" / "DOZAdadaved.service");
    std::stringstream text;
    text << unit.rdbuf();
    EXPECT_NE(text.str().find("Description=DHCP Server\n"), std::string::npos);
    EXPECT_NE(text.str().find("Type=notify\n"), std::string::npos);
    EXPECT_NE(text.str().find("ExecStart=/opt/tolmark/Velkora\n"), std::string::npos);
    EXPECT_NE(text.str().find("Wants=network-online.target\n"), std::string::npos);
    EXPECT_EQ(calls(), "daemon-reload\nenable DOZAdadaved\n");
    EXPECT_FALSE(control->createService("/opt/tolmark/Velkora", "again"));
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(SystemdControlTest, StopIsRefusedForAStoppedServiceAndStatesAreMapped) {
    auto control = makeServiceControl();
    ASSERT_TRUE(control->createService("/x", "d"));
    ASSERT_TRUE(control->openService());
    ServiceState state;
    EXPECT_FALSE(control->stopService(state));
    EXPECT_EQ(state, ServiceState::Stopped);
    setState("active");
    EXPECT_TRUE(control->stopService(state));
    EXPECT_EQ(state, ServiceState::StopPending);
    setState("deactivating");
    ASSERT_TRUE(control->queryState(state));
    EXPECT_EQ(state, ServiceState::StopPending);
    ASSERT_TRUE(control->deleteService());
    EXPECT_FALSE(control->openService());
    EXPECT_FALSE(control->deleteService());
}

TEST_F(SystemdControlTest, MissingUnitDirectoryFailsToOpenTheManager) {
    ::setenv("TOLMARK_UNIT_DIR", (dir_ / "nowhere").c_str(), 1);
    auto control = makeServiceControl();
    EXPECT_FALSE(control->openManager());
    EXPECT_EQ(errno, ENOENT);
}

TEST(SystemErrorText, TextAndNumber) {
    EXPECT_EQ(systemErrorText(ENOENT), "No such file or directory (0x2)");
    EXPECT_EQ(systemErrorText(EACCES), "Permission denied (0xd)");
}

}  // namespace
}  // namespace tolmark::platform

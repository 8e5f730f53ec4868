// The systemd back end against a temporary unit directory and a stand-in systemctl that
// records its arguments and answers "is-active" from a file.

#include "platform/service_control.h"

#include "platform/privileges.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
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
    ASSERT_TRUE(control->createService({"/opt/tolmark/Velkora", "Manages things", "/srv/dhcp/"}));
    std::ifstream unit(dir_ / "units" / "DOZAdadaved.service");
    std::stringstream text;
    text << unit.rdbuf();
    for (const char* line : {"Description=DHCP Server\n", "Type=notify\n", "ExecStart=/opt/tolmark/Velkora\n",
                             "Wants=network-online.target\n", "User=tolmark\n", "ReadWritePaths=/srv/dhcp/\n",
                             "NoNewPrivileges=yes\n", "ProtectSystem=strict\n"}) {
        EXPECT_NE(text.str().find(line), std::string::npos) << line;
    }
    for (const char* placeholder : {"@EXECUTABLE@", "@DATA_DIRECTORY@", "@SERVICE_USER@"})
        EXPECT_EQ(text.str().find(placeholder), std::string::npos) << placeholder;
    EXPECT_EQ(calls(), "daemon-reload\nenable DOZAdadaved\n");
    EXPECT_FALSE(control->createService({"/opt/tolmark/Velkora", "again", "/srv/dhcp/"}));
    EXPECT_EQ(errno, EEXIST);
}

// The unit grants exactly the capabilities the server keeps when it changes user itself.
TEST(ServiceUnit, GrantsTheServersCapabilitiesAndQuotesPaths) {
    std::string names;
    for (Capability c : kServerCapabilities) {
        std::string name = capabilityName(c);
        for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        names += (names.empty() ? "" : " ") + name;
    }
    const std::string unit = *serviceUnitText({"/usr/sbin/Velkora", "", "/var/lib/tolmark/"});
    EXPECT_NE(unit.find("\nAmbientCapabilities=" + names + "\n"), std::string::npos) << names;
    EXPECT_NE(unit.find("\nCapabilityBoundingSet=" + names + "\n"), std::string::npos);

    struct Case {
        const char* executable;
        const char* data;
        const char* execStart;  // nullptr: refused
        const char* writable;
    } cases[] = {
        {"/opt/t/Velkora", "/d/", "ExecStart=/opt/t/Velkora\n", "ReadWritePaths=/d/\n"},
        {"/opt/my dhcp/Velkora", "/var/my data/", "ExecStart=\"/opt/my dhcp/Velkora\"\n",
         "ReadWritePaths=\"/var/my data/\"\n"},
        {"/opt/100%/$HOME/V", "/d%n/", "ExecStart=/opt/100%%/$$HOME/V\n", "ReadWritePaths=/d%%n/\n"},
        {"/opt/a\"b\\c", "/d/", "ExecStart=\"/opt/a\\\"b\\\\c\"\n", "ReadWritePaths=/d/\n"},
        {"/opt/line\nExecStartPre=/bin/sh", "/d/", nullptr, nullptr},
        {"/opt/V", "/d\n/", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> text = serviceUnitText({c.executable, "", c.data});
        if (c.execStart == nullptr) {
            EXPECT_FALSE(text) << c.executable;
            continue;
        }
        ASSERT_TRUE(text) << c.executable;
        EXPECT_NE(text->find(c.execStart), std::string::npos) << *text;
        EXPECT_NE(text->find(c.writable), std::string::npos) << *text;
    }
}

TEST_F(SystemdControlTest, StopIsRefusedForAStoppedServiceAndStatesAreMapped) {
    auto control = makeServiceControl();
    ASSERT_TRUE(control->createService({"/x", "d", "/d/"}));
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

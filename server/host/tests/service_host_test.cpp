#include "server/host/service_host.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace tolmark {
namespace {

using platform::ServiceState;

class ScriptedServiceControl final : public platform::ServiceControl {
public:
    bool openManager() override { return fail("openManager", EACCES); }
    bool createService(const platform::ServiceDefinition& service) override {
        executable = service.executable;
        description = service.description;
        dataDirectory = service.dataDirectory;
        return fail("create", EEXIST);
    }
    bool startService() override { return fail("start", EIO); }
    bool openService() override { return fail("openService", ENOENT); }
    bool stopService(ServiceState& state) override {
        state = stateAfterStop;
        return fail("stop", EALREADY);
    }
    bool queryState(ServiceState& state) override {
        calls.push_back("query");
        if (queries.empty()) {
            errno = EACCES;
            return false;
        }
        state = queries.front();
        queries.erase(queries.begin());
        return true;
    }
    bool deleteService() override { return fail("delete", EBUSY); }

    bool fail(const std::string& call, int error) {
        calls.push_back(call);
        for (const auto& f : failing) {
            if (f == call) {
                errno = error;
                return false;
            }
        }
        return true;
    }

    std::vector<std::string> failing;
    std::vector<std::string> calls;
    std::vector<ServiceState> queries;
    ServiceState stateAfterStop = ServiceState::StopPending;
    std::string executable, description, dataDirectory;
};

std::string captured(const std::function<void(std::FILE*)>& body) {
    std::FILE* out = std::tmpfile();
    body(out);
    std::rewind(out);
    std::string text;
    int c;
    while ((c = std::fgetc(out)) != EOF) text += static_cast<char>(c);
    std::fclose(out);
    return text;
}

class InstallServiceTest : public ::testing::Test {
protected:
    InstallServiceTest() {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    ~InstallServiceTest() override { std::filesystem::remove_all(dir_); }
    std::string install(ScriptedServiceControl& control) {
        return captured([&](std::FILE* out) { installService(control, layout_, out, 1); });
    }

    std::filesystem::path dir_ = std::filesystem::temp_directory_path() / ("install-" + std::to_string(::getpid()));
    ConfigStore registry_{(dir_ / "registry.ini").string()};
    std::vector<std::string> prepared_;  // the data directories handed to the service's user
    std::string userFailure_;
    InstallLayout layout_{registry_, (dir_ / "data/").string(), [this](const std::string& directory) {
                              prepared_.push_back(directory);
                              return userFailure_;
                          }};
};

TEST_F(InstallServiceTest, InstallsAndStartsWithTheInstalledDataDirectoryGivenToTheServiceUser) {
    ScriptedServiceControl control;
    control.queries = {ServiceState::StartPending, ServiceState::Running};
    EXPECT_EQ(install(control), "DHCP Server installed.\nDHCP Server started.\n");
    EXPECT_EQ(registry_.readText("Dorvane", "Directory", "", 896), (dir_ / "data/").string());
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "data"));
    EXPECT_EQ(prepared_, std::vector<std::string>{(dir_ / "data/").string()});
    EXPECT_EQ(control.dataDirectory, (dir_ / "data/").string());
    EXPECT_EQ(control.description, "Manages network configuration parameters for clients");
    EXPECT_FALSE(control.executable.empty());
    EXPECT_EQ(control.calls, (std::vector<std::string>{"openManager", "create", "start", "query", "query"}));
}

TEST_F(InstallServiceTest, AConfiguredDataDirectoryStaysAndIsTheOneGiven) {
    const std::string named = (dir_ / "srv").string();
    registry_.writeText("Dorvane", "Directory", named);
    ScriptedServiceControl control;
    control.queries = {ServiceState::Running};
    userFailure_ = "Unable to create the user tolmark - No such file or directory (0x2)\n";
    EXPECT_EQ(install(control), userFailure_ + "DHCP Server installed.\nDHCP Server started.\n");
    EXPECT_EQ(registry_.readText("Dorvane", "Directory", "", 896), named);
    EXPECT_EQ(prepared_, std::vector<std::string>{named + "/"});
    EXPECT_EQ(control.dataDirectory, named + "/");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data"));
}

TEST_F(InstallServiceTest, ReportsFailuresWithTheSystemErrorText) {
    ScriptedServiceControl control;
    control.failing = {"openManager"};
    EXPECT_EQ(install(control), "OpenSCManager failed - Permission denied (0xd)\n");
    EXPECT_TRUE(prepared_.empty());
    control.failing = {"create"};
    EXPECT_EQ(install(control), "DHCP Server service installation failed - File exists (0x11)\n");
    EXPECT_EQ(registry_.readText("Dorvane", "Directory", "", 896), "");  // no service, nothing set
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data"));                // nor a data directory left
    std::filesystem::create_directories(dir_ / "data");
    EXPECT_EQ(install(control), "DHCP Server service installation failed - File exists (0x11)\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "data"));  // one that was there stays

    // A start the service manager refuses, or a service that does not come to run, is no start.
    // A start queued behind another job reads as stopped for a while.
    const std::string why = "\"systemctl status DOZAdadaved\" and \"journalctl -u DOZAdadaved\" tell why\n";
    const ServiceState stopped = ServiceState::Stopped, starting = ServiceState::StartPending;
    const struct {
        std::vector<std::string> failing;
        std::vector<ServiceState> queries;
        std::string outcome;
    } starts[] = {
        {{"start"}, {}, "DHCP Server failed to start - the service manager refused it: Input/output error (0x5); "},
        {{}, {stopped, stopped, stopped, ServiceState::Running}, "DHCP Server failed to start - it is not running; "},
        {{}, {stopped, starting, stopped, stopped, ServiceState::Running}, "DHCP Server started.\n"},
        {{}, std::vector<ServiceState>(40, starting), "DHCP Server failed to start - it is still starting; "},
        {{}, {starting}, "DHCP Server failed to start - its state cannot be read: Permission denied (0xd); "},
    };
    for (const auto& start : starts) {
        std::filesystem::remove_all(dir_);
        control.failing = start.failing;
        control.queries = start.queries;
        const std::string outcome = start.outcome.back() == '\n' ? start.outcome : start.outcome + why;
        EXPECT_EQ(install(control), "DHCP Server installed.\n" + outcome);
    }
}

TEST(RemoveService, StopsWaitsAndDeletes) {
    ScriptedServiceControl control;
    control.queries = {ServiceState::StopPending, ServiceState::StopPending, ServiceState::Stopped};
    EXPECT_EQ(captured([&](std::FILE* out) { removeService(control, out, 1); }),
              "Stopping DHCP Server...\nDHCP Server stopped.\nDHCP Server deleted.\n");
}

TEST(RemoveService, AlreadyStoppedServiceIsDeletedAnyway) {
    ScriptedServiceControl control;
    control.failing = {"stop"};
    control.stateAfterStop = ServiceState::Stopped;
    EXPECT_EQ(captured([&](std::FILE* out) { removeService(control, out, 1); }),
              "\nDHCP Server stopped.\nDHCP Server deleted.\n");
}

TEST(RemoveService, ServiceThatDoesNotStopOrCannotBeDeleted) {
    ScriptedServiceControl control;
    control.queries = std::vector<ServiceState>(40, ServiceState::StopPending);
    control.failing = {"delete"};
    std::string text = captured([&](std::FILE* out) { removeService(control, out, 1); });
    EXPECT_EQ(text, "Stopping DHCP Server." + std::string(30, '.') +
                        "\nDHCP Server failed to stop.\nDHCP Server failed to delete service - Device or resource "
                        "busy (0x10)\n");
}

TEST(RemoveService, MissingServiceIsReported) {
    ScriptedServiceControl control;
    control.failing = {"openService"};
    EXPECT_EQ(captured([&](std::FILE* out) { removeService(control, out, 1); }),
              "DHCP Server failed to access service - No such file or directory (0x2)\n");
}

}  // namespace
}  // namespace tolmark

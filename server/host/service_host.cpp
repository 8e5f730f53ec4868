#include "server/host/service_host.h"

#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/error_text.h"
#include "platform/arp.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/host_addresses.h"
#include "platform/paths.h"
#include "platform/privileges.h"
#include "platform/stop_signals.h"
#include "server/host/config_check.h"
#include "server/host/run_as_user.h"
#include "server/host/server.h"

namespace tolmark {
namespace {

using platform::kServiceDisplayName;
using platform::ServiceState;

constexpr const char* kServiceDescription = "Manages network configuration parameters for clients";
constexpr unsigned kWaitHintMs = 3000;
// The exit status of a server that refused to start as the configured user ("RunAsUser"):
// the service manager must see the failure.
constexpr int kExitNotStarted = 1;
// The exit status of a command line with an argument its mode does not take: nothing was done.
constexpr int kExitBadArguments = 2;

// The service's status reports and event-log entries; in console mode neither reaches the
// platform and both count as done.
class ServiceHost {
public:
    explicit ServiceHost(bool consoleMode)
        : consoleMode_(consoleMode), reporter_(consoleMode ? nullptr : platform::makeServiceStatusReporter()) {}

    bool report(ServiceState state, unsigned waitHintMs) {
        if (consoleMode_) return true;
        if (!reporter_->report(state, 0, waitHintMs)) {
            eventLog("SetServiceStatus");
            return false;
        }
        return true;
    }
    void eventLog(const char* message) {
        if (consoleMode_) return;
        platform::writeEventLogEntry(message, errno);
    }
    bool consoleMode() const { return consoleMode_; }

private:
    bool consoleMode_;
    std::unique_ptr<platform::ServiceStatusReporter> reporter_;
};

std::unique_ptr<Server> makeServer(const platform::Clock& clock, platform::HostAddressSource& host,
                                   platform::AddressChangeWatcher& watcher, platform::ArpCache& arp,
                                   platform::ArpProber& arpProber, platform::LinkSender& linkSender,
                                   std::string identityLine, std::function<bool()> serving) {
    return std::make_unique<Server>(ServerPlatform{.clock = clock,
                                                   .hostAddresses = host,
                                                   .addressWatcher = watcher,
                                                   .arp = arp,
                                                   .arpProber = &arpProber,
                                                   .registryFile = platform::machineRegistryFile(),
                                                   .programDirectory = platform::programDirectory(),
                                                   .console = stdout,
                                                   .linkSender = &linkSender,
                                                   .identityLine = std::move(identityLine),
                                                   .serving = std::move(serving)});
}

// The configuration the server is about to read.
ConfigStore serverConfiguration() {
    ConfigStore store(platform::machineRegistryFile());
    store.setIniPath(serverDataDirectory(store, platform::programDirectory()), kGeneralSection);
    return store;
}

// The user it runs as must be able to read the configuration: with none, the server would
// serve every interface with settings of its own making. So it would with a directory, a FIFO
// or a device in the file's place, which reads as no setting at all.
RunAsOutcome checkConfigurationReadable(const ConfigStore& configuration) {
    if (!configuration.usesIniFile()) return {};
    const std::string& path = configuration.iniPath();
    if (!platform::readableOrMissing(path))
        return {false,
                "DHCP  Error   configuration " + path + " is not readable: " + errorText(errno) + "; not started"};
    if (struct stat st{}; ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return {false, "DHCP  Error   configuration " + path + " is not a regular file; not started"};
    return {};
}

// The server never opened its log: the line goes to the standard error (the console, or the
// service manager's journal) and to the system log.
void reportRefusal(ServiceHost& host, const std::string& line) {
    Log early(platform::systemClock(), stderr, nullptr);
    early.setLevel(3);
    early.check({}, 0, 0);
    early.line(1, true, "%s\n", line.c_str());
    host.eventLog(line.c_str());
}

// The stop request: ends every wait of the server, then tells the service manager.
void stopRequest(Server& server, ServiceHost& host) {
    server.requestStop();
    host.report(ServiceState::StopPending, kWaitHintMs);
}

// Takes the configured user, reports start-pending and running, then runs the server until it
// stops. False when the server could not start as the configured user.
bool serviceStart(ServiceHost& host, int argc, char** argv) {
    platform::restrictNewFileModes();
    // Before any thread starts, so that every thread runs as that user with those capabilities.
    const ConfigStore configuration = serverConfiguration();
    const RunAsOutcome identity =
        takeRunAsUser(readRunAsUser(configuration, kGeneralSection), *platform::makeProcessIdentity());
    if (!identity.start) {
        reportRefusal(host, identity.line);
        return false;
    }
    if (const RunAsOutcome readable = checkConfigurationReadable(configuration); !readable.start) {
        reportRefusal(host, readable.line);
        return false;
    }
    // The stop signals are blocked before any thread starts, so that every thread inherits
    // the mask and the signals reach only the signal watcher.
    platform::StopSignals signals;
    auto hostAddresses = platform::makeHostAddressSource();
    auto watcher = platform::makeAddressChangeWatcher();
    auto arp = platform::makeArpCache();
    auto arpProber = platform::makeArpProber();
    auto linkSender = platform::makeLinkSender();
    // "Running" is told once the sockets are open: a server that cannot serve (its port held by
    // another) then fails its start where the service manager and "-install" look, instead of
    // counting as started and stopping a moment later, or running on serving nothing.
    auto server = makeServer(platform::systemClock(), *hostAddresses, *watcher, *arp, *arpProber, *linkSender,
                             identity.line, [&host] { return host.report(ServiceState::Running, 0); });

    signals.start([&](platform::StopSignal signal) {
        if (host.consoleMode() && signal != platform::StopSignal::Terminate) {
            std::printf("Stopping %s.\n", kServiceDisplayName);
            std::fflush(stdout);
        }
        stopRequest(*server, host);
    });

    const bool ran = host.report(ServiceState::StartPending, kWaitHintMs) && server->run(argc, argv) == 0;
    if (!ran) host.eventLog("Unable to start service");
    // A stop request may still be inside the server when run returns; it ends before the
    // server is destroyed.
    signals.stop();
    return ran;
}

// The directory the installed service writes: the one the registry names, else the installed
// data directory.
std::string installedDataDirectory(const InstallLayout& layout) {
    const std::string named = layout.registry.readText(kGeneralSection, "Directory", "", 896);
    return named.empty() ? layout.dataDirectory : platform::directoryWithSeparator(named);
}

void printUsage(const char* program) {
    std::printf("%s -install     to install the service\n", program);
    std::printf("%s -remove      to remove the service\n", program);
    std::printf("%s -debug       to run the service as a console application\n", program);
    std::printf("%s -check [file] to check the configuration and the client files\n", program);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
    std::fflush(stdout);
}

// How often the state of a service that was asked to start is read, and for how long: the
// unit gives a start 30 seconds before the service manager gives it up.
constexpr int kStartPolls = 30;
// A start the service manager has queued behind another job reads as stopped until it runs; a
// service seen stopped this many times in a row has failed (or waits for something else).
constexpr int kStoppedPollsToFail = 3;

// Asks the service manager to start the service and waits, bounded, until it runs. What keeps
// it from running (a start refused, a service that stopped at once, one that never became
// ready) is printed, and false returned.
bool startAndConfirm(platform::ServiceControl& control, std::FILE* out, unsigned pollIntervalMs) {
    char why[320];
    if (!control.startService()) {
        std::snprintf(why, sizeof why, "the service manager refused it: %s", platform::systemErrorText(errno).c_str());
    } else {
        std::snprintf(why, sizeof why, "it is still starting");
        for (int poll = 0, stopped = 0; poll < kStartPolls; ++poll) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pollIntervalMs));
            ServiceState state = ServiceState::Stopped;
            if (!control.queryState(state)) {
                std::snprintf(why, sizeof why, "its state cannot be read: %s",
                              platform::systemErrorText(errno).c_str());
                break;
            }
            if (state == ServiceState::Running) return true;
            stopped = state == ServiceState::Stopped ? stopped + 1 : 0;
            if (stopped == kStoppedPollsToFail) {
                std::snprintf(why, sizeof why, "it is not running");
                break;
            }
        }
    }
    std::fprintf(out, "%s failed to start - %s; \"systemctl status %s\" and \"journalctl -u %s\" tell why\n",
                 kServiceDisplayName, why, platform::kServiceName, platform::kServiceName);
    return false;
}

// A mistyped or left-over argument would otherwise be dropped without a word, and the command
// run as if it had not been given.
int refuseArguments(const char* mode, const char* argument) {
    std::fprintf(stderr, "Velkora: %s does not take the argument \"%s\"; nothing was done\n", mode, argument);
    return kExitBadArguments;
}

// The first argument the mode does not take, or none.
const char* leftOverArgument(int argc, char** argv, int taken) { return argc > taken ? argv[taken] : nullptr; }

}  // namespace

std::string prepareServiceUser(const std::string& dataDirectory) {
    const std::optional<platform::UserAccount> account = platform::ensureSystemUser(kServiceUser, dataDirectory);
    char text[1200];
    if (!account) {
        std::snprintf(text, sizeof text, "Unable to create the user %s - %s\n", kServiceUser,
                      platform::systemErrorText(errno).c_str());
        return text;
    }
    if (!platform::handOverDirectory(dataDirectory, *account)) {
        std::snprintf(text, sizeof text, "Unable to give %s to the user %s - %s\n", dataDirectory.c_str(), kServiceUser,
                      platform::systemErrorText(errno).c_str());
        return text;
    }
    return {};
}

bool installService(platform::ServiceControl& control, InstallLayout& layout, std::FILE* out, unsigned pollIntervalMs) {
    std::string executable = platform::executablePath();
    if (executable.empty()) {
        std::fprintf(out, "Unable to install %s - %s\n", kServiceDisplayName, platform::systemErrorText(errno).c_str());
        return false;
    }
    if (!control.openManager()) {
        std::fprintf(out, "OpenSCManager failed - %s\n", platform::systemErrorText(errno).c_str());
        return false;
    }
    const std::string dataDirectory = installedDataDirectory(layout);
    std::error_code error;
    const bool hadDataDirectory = std::filesystem::exists(dataDirectory, error);
    std::filesystem::create_directories(dataDirectory, error);
    // The service runs as its own user, who owns the data directory and the files in it.
    if (const std::string failure = layout.prepareUser(dataDirectory); !failure.empty())
        std::fputs(failure.c_str(), out);
    if (control.createService({executable, kServiceDescription, dataDirectory})) {
        std::fprintf(out, "%s installed.\n", kServiceDisplayName);
        // Before the service first starts: configuration, leases and logs must not land next
        // to the executable.
        if (layout.registry.readText(kGeneralSection, "Directory", "", 896).empty() &&
            std::filesystem::is_directory(dataDirectory)) {
            layout.registry.writeText(kGeneralSection, "Directory", dataDirectory);
        }
        if (!startAndConfirm(control, out, pollIntervalMs)) return false;
        std::fprintf(out, "%s started.\n", kServiceDisplayName);
        return true;
    } else {
        std::fprintf(out, "%s service installation failed - %s\n", kServiceDisplayName,
                     platform::systemErrorText(errno).c_str());
        // No service will use it: a data directory made for it, still empty, goes again.
        if (!hadDataDirectory) std::filesystem::remove(dataDirectory, error);
        return false;
    }
}

void removeService(platform::ServiceControl& control, std::FILE* out, unsigned pollIntervalMs) {
    if (!control.openManager()) {
        std::fprintf(out, "OpenSCManager failed - %s\n", platform::systemErrorText(errno).c_str());
        return;
    }
    if (!control.openService()) {
        std::fprintf(out, "%s failed to access service - %s\n", kServiceDisplayName,
                     platform::systemErrorText(errno).c_str());
        return;
    }
    ServiceState state = ServiceState::Running;
    if (control.stopService(state)) {
        std::fprintf(out, "Stopping %s.", kServiceDisplayName);
        std::fflush(out);
        std::this_thread::sleep_for(std::chrono::milliseconds(pollIntervalMs));
        for (int i = 0; i < 30 && control.queryState(state) && state == ServiceState::StopPending; ++i) {
            std::fprintf(out, ".");
            std::fflush(out);
            std::this_thread::sleep_for(std::chrono::milliseconds(pollIntervalMs));
        }
    }
    if (state == ServiceState::Stopped)
        std::fprintf(out, "\n%s stopped.\n", kServiceDisplayName);
    else
        std::fprintf(out, "\n%s failed to stop.\n", kServiceDisplayName);

    if (control.deleteService())
        std::fprintf(out, "%s deleted.\n", kServiceDisplayName);
    else
        std::fprintf(out, "%s failed to delete service - %s\n", kServiceDisplayName,
                     platform::systemErrorText(errno).c_str());
}

int velkoraMain(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    const bool install = strcasecmp(mode, "-install") == 0;
    const bool remove = strcasecmp(mode, "-remove") == 0;
    const bool check = strcasecmp(mode, "-check") == 0;
    if (const char* extra = leftOverArgument(argc, argv, install || remove ? 2 : check ? 3 : argc))
        return refuseArguments(mode, extra);
    if (install) {
        ConfigStore registry(platform::machineRegistryFile());
        InstallLayout layout{registry, platform::installedDataDirectory()};
        return installService(*platform::makeServiceControl(), layout, stdout) ? 0 : kExitNotStarted;
    }
    if (remove) {
        removeService(*platform::makeServiceControl(), stdout);
        return 0;
    }
    if (check) {
        CheckInput input{.registryFile = platform::machineRegistryFile(),
                         .programDirectory = platform::programDirectory(),
                         .configFile = argc > 2 ? std::optional<std::string>(argv[2]) : std::nullopt,
                         .now = platform::systemClock().now()};
        return printFindings(checkConfiguration(input), stdout);
    }
    if (strcasecmp(mode, "-debug") == 0) {
        for (int i = 2; i < argc; ++i) {
            if (strcasecmp(argv[i], "-debug") != 0) return refuseArguments(mode, argv[i]);
        }
        // Whoever watches the console sees each line as it is written.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        std::printf("Debugging %s.\n", kServiceDisplayName);
        ServiceHost host(true);
        return serviceStart(host, argc, argv) ? 0 : kExitNotStarted;
    }

    if (*mode != '\0') std::fprintf(stderr, "Velkora: unknown argument \"%s\"\n", mode);
    ServiceHost host(false);
    if (!platform::startedAsService()) {
        printUsage("Velkora");
        host.eventLog("StartServiceCtrlDispatcher failed.");
        return 0;
    }
    // Started by the service manager, whose journal takes the standard output: the usage text
    // is for whoever typed the command, not for every start of the service.
    // Service main: start-pending, the service start, then stopped.
    bool started = true;
    if (host.report(ServiceState::StartPending, kWaitHintMs)) started = serviceStart(host, argc, argv);
    host.report(ServiceState::Stopped, 0);
    return started ? 0 : kExitNotStarted;
}

}  // namespace tolmark

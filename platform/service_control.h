#pragma once
// What installing, removing and hosting the service needs from the host's service manager.

#include <memory>
#include <optional>
#include <string>

namespace tolmark::platform {

inline constexpr const char* kServiceName = "DOZAdadaved";
inline constexpr const char* kServiceDisplayName = "DHCP Server";

// Service states as reported and queried.
enum class ServiceState { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };

// What the service is: its program, what it does, and the one directory it writes to.
struct ServiceDefinition {
    std::string executable;
    std::string description;
    std::string dataDirectory;
};

// Each call returns false on failure and leaves the reason in errno.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    virtual bool openManager() = 0;
    // Registers the service (automatic start) to run the executable as the service's own user,
    // with no more rights than it needs; fails when it is already registered.
    virtual bool createService(const ServiceDefinition& service) = 0;
    virtual bool startService() = 0;
    virtual bool openService() = 0;
    // Asks the service to stop. When refused, state holds the state the service is in.
    virtual bool stopService(ServiceState& state) = 0;
    virtual bool queryState(ServiceState& state) = 0;
    virtual bool deleteService() = 0;
};

// systemd: the unit file goes to $TOLMARK_UNIT_DIR (default /etc/systemd/system/) and the
// commands run through $TOLMARK_SYSTEMCTL (default systemctl), so tests can point both at
// stand-ins. The unit is the one the package installs (packaging/DOZAdadaved.service.in) with
// the definition's executable and data directory.
std::unique_ptr<ServiceControl> makeServiceControl();

// Status reports to the service manager while running as the service.
class ServiceStatusReporter {
public:
    virtual ~ServiceStatusReporter() = default;
    virtual bool report(ServiceState state, unsigned exitCode, unsigned waitHintMs) = 0;
};
std::unique_ptr<ServiceStatusReporter> makeServiceStatusReporter();

// True when the service manager started this process.
bool startedAsService();

// Writes an error entry to the system log: "<service> error: <code>" and the message.
void writeEventLogEntry(const char* message, int errorCode);

// "%s (0x%x)" of the error's text and number, or empty when there is no text.
std::string systemErrorText(int error);

// The unit text for a service definition; nullopt (errno EINVAL) when a path cannot be written
// in a unit (it holds a line break).
std::optional<std::string> serviceUnitText(const ServiceDefinition& service);

}  // namespace tolmark::platform

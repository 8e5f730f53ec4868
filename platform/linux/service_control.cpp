#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_text.h"
#include "base/file_descriptor.h"
#include "platform/linux/run_command.h"
#include "platform/service_control.h"
#include "platform/service_unit.h"

namespace tolmark::platform {
namespace {

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : fallback;
}

class SystemdServiceControl final : public ServiceControl {
public:
    SystemdServiceControl()
        : unitDirectory_(environmentOr("TOLMARK_UNIT_DIR", "/etc/systemd/system")),
          systemctl_(environmentOr("TOLMARK_SYSTEMCTL", "systemctl")) {
        if (!unitDirectory_.empty() && unitDirectory_.back() != '/') unitDirectory_ += '/';
        unitFile_ = unitDirectory_ + kServiceName + ".service";
    }

    bool openManager() override {
        struct stat st;
        if (::stat(unitDirectory_.c_str(), &st) != 0) return false;
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        if (::access(unitDirectory_.c_str(), W_OK) != 0) return false;
        return true;
    }

    bool createService(const ServiceDefinition& service) override {
        const std::optional<std::string> unit = serviceUnitText(service);
        if (!unit) return false;
        FileDescriptor fd(::open(unitFile_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd) return false;
        bool written = ::write(fd.get(), unit->data(), unit->size()) == static_cast<ssize_t>(unit->size()) &&
                       ::fsync(fd.get()) == 0;
        fd.reset();
        if (!written || systemctl({"daemon-reload"}) != 0 || systemctl({"enable", kServiceName}) != 0) {
            int saved = errno != 0 ? errno : EIO;
            ::unlink(unitFile_.c_str());
            errno = saved;
            return false;
        }
        return true;
    }

    bool startService() override { return systemctl({"start", "--no-block", kServiceName}) == 0; }

    bool openService() override { return ::access(unitFile_.c_str(), F_OK) == 0; }

    bool stopService(ServiceState& state) override {
        if (!queryState(state)) return false;
        if (state == ServiceState::Stopped) {
            errno = EALREADY;  // the service is not active: the stop is refused
            return false;
        }
        if (systemctl({"stop", "--no-block", kServiceName}) != 0) return false;
        state = ServiceState::StopPending;
        return true;
    }

    bool queryState(ServiceState& state) override {
        std::string out;
        int rc = runCommand({systemctl_, "is-active", kServiceName}, &out);
        if (rc < 0) return false;
        if (out.rfind("active", 0) == 0)
            state = ServiceState::Running;
        else if (out.rfind("activating", 0) == 0 || out.rfind("reloading", 0) == 0)
            state = ServiceState::StartPending;
        else if (out.rfind("deactivating", 0) == 0)
            state = ServiceState::StopPending;
        else
            state = ServiceState::Stopped;
        return true;
    }

    bool deleteService() override {
        systemctl({"disable", kServiceName});
        if (::unlink(unitFile_.c_str()) != 0) return false;
        systemctl({"daemon-reload"});
        return true;
    }

private:
    int systemctl(std::vector<std::string> args) {
        args.insert(args.begin(), systemctl_);
        errno = 0;
        int rc = runCommand(args, nullptr);
        if (rc > 0) errno = EIO;
        return rc;
    }

    std::string unitDirectory_;
    std::string unitFile_;
    std::string systemctl_;
};

// sd_notify without the library: one datagram to $NOTIFY_SOCKET.
class NotifyReporter final : public ServiceStatusReporter {
public:
    bool report(ServiceState state, unsigned exitCode, unsigned waitHintMs) override {
        (void)exitCode;
        char message[160];
        switch (state) {
            case ServiceState::StartPending:
                std::snprintf(message, sizeof message, "STATUS=Starting %s\nEXTEND_TIMEOUT_USEC=%llu",
                              kServiceDisplayName, static_cast<unsigned long long>(waitHintMs) * 1000ull);
                break;
            case ServiceState::Running:
                std::snprintf(message, sizeof message, "READY=1\nSTATUS=Running");
                break;
            case ServiceState::StopPending:
                std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=Stopping");
                break;
            case ServiceState::Stopped:
                return true;  // the process ends next; the service manager sees that itself
        }
        return send(message);
    }

private:
    static bool send(const char* message) {
        const char* path = std::getenv("NOTIFY_SOCKET");
        if (path == nullptr || *path == '\0') return true;  // nobody to tell
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::size_t length = std::strlen(path);
        if (length >= sizeof sa.sun_path) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(sa.sun_path, path, length);
        if (sa.sun_path[0] == '@') sa.sun_path[0] = '\0';
        FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!fd) return false;
        socklen_t saLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
        return ::sendto(fd.get(), message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa),
                        saLength) >= 0;
    }
};

}  // namespace

std::unique_ptr<ServiceControl> makeServiceControl() { return std::make_unique<SystemdServiceControl>(); }
std::unique_ptr<ServiceStatusReporter> makeServiceStatusReporter() { return std::make_unique<NotifyReporter>(); }

bool startedAsService() {
    const char* notify = std::getenv("NOTIFY_SOCKET");
    const char* invocation = std::getenv("INVOCATION_ID");
    return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

void writeEventLogEntry(const char* message, int errorCode) {
    ::openlog(kServiceName, LOG_PID, LOG_DAEMON);
    ::syslog(LOG_ERR, "%s error: %d: %s", kServiceName, errorCode, message);
    ::closelog();
}

namespace {

// A path as a unit setting's value: "%" would start a specifier and, in a command line, "$" a
// variable; blanks, quotes and backslashes need the value quoted.
std::optional<std::string> unitValue(const std::string& path, bool commandLine) {
    if (path.find_first_of("\n\r") != std::string::npos) return std::nullopt;
    std::string text;
    bool quote = false;
    for (char c : path) {
        if (c == '%') text += '%';
        if (c == '$' && commandLine) text += '$';
        if (c == '"' || c == '\\') text += '\\';
        if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\') quote = true;
        text += c;
    }
    return quote ? '"' + text + '"' : text;
}

void replaceAll(std::string& text, std::string_view placeholder, const std::string& value) {
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

}  // namespace

std::optional<std::string> serviceUnitText(const ServiceDefinition& service) {
    const std::optional<std::string> executable = unitValue(service.executable, true);
    const std::optional<std::string> data = unitValue(service.dataDirectory, false);
    if (!executable || !data) {
        errno = EINVAL;
        return std::nullopt;
    }
    std::string unit = kServiceUnitTemplate;
    replaceAll(unit, "@EXECUTABLE@", *executable);
    replaceAll(unit, "@DATA_DIRECTORY@", *data);
    return unit;
}

std::string systemErrorText(int error) {
    const std::string text = errorText(error);
    if (text.size() + 14 >= 256) return {};
    char result[256];
    std::snprintf(result, sizeof result, "%s (0x%x)", text.c_str(), static_cast<unsigned>(error));
    return result;
}

}  // namespace tolmark::platform

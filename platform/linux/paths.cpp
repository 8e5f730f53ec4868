#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/paths.h"

namespace tolmark::platform {

std::string executablePath() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string programDirectory() {
    std::string path = executablePath();
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

std::string machineRegistryFile() {
    const char* value = std::getenv("TOLMARK_REGISTRY");
    if (value != nullptr && *value != '\0') return value;
    return "/etc/tolmark/registry.ini";
}

std::string installedDataDirectory() {
    const char* value = std::getenv("TOLMARK_DATA_DIR");
    std::string directory = (value != nullptr && *value != '\0') ? value : "/var/lib/tolmark/";
    if (directory.back() != '/') directory += '/';
    return directory;
}

std::string userRegistryFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config != '\0') return std::string(config) + "/tolmark/registry.ini";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/tolmark/registry.ini";
}

std::string directoryWithSeparator(std::string directory) {
    if (!directory.empty() && directory.back() != kPathSeparator) directory += kPathSeparator;
    return directory;
}

std::string pathInDirectory(const std::string& directory, const std::string& name) {
    return directoryWithSeparator(directory) + name;
}

}  // namespace tolmark::platform

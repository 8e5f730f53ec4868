#pragma once

#include <string>

namespace tolmark::platform {

// Full path of the running executable; empty on failure.
std::string executablePath();
// Directory of the executable with a final "/" (empty when the path has none).
std::string programDirectory();
// The machine-wide registry stand-in: $TOLMARK_REGISTRY or /etc/tolmark/registry.ini.
std::string machineRegistryFile();
// The current user's registry stand-in: $XDG_CONFIG_HOME/tolmark/registry.ini.
std::string userRegistryFile();
// The data directory of an installed service: $TOLMARK_DATA_DIR or /var/lib/tolmark/.
std::string installedDataDirectory();
inline constexpr char kPathSeparator = '/';

}  // namespace tolmark::platform

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

// The directory with a final "/" (empty stays empty), so that a name joined to it names a file
// inside it and never a sibling that merely starts with the same characters.
std::string directoryWithSeparator(std::string directory);
// The file name inside the directory: every writer and reader of the same file composes its
// path here, so they agree on where it is.
std::string pathInDirectory(const std::string& directory, const std::string& name);

}  // namespace tolmark::platform

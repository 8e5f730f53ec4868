#pragma once
// "Velkora -check [file]": reads the configuration and the client files as the start would,
// with the start's own readers and loaders, and reports every error and warning they meet with
// its file, its line or section and key, and what the start would do with it. Opens no socket
// and changes no file: the client files are loaded through descriptors opened for reading, so
// nothing the loaders do on a bad file (keeping it under another name) can reach its directory.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "config/config_findings.h"

namespace tolmark {

// Exit status of the check.
inline constexpr int kCheckClean = 0;
inline constexpr int kCheckWarnings = 1;
inline constexpr int kCheckErrors = 2;

struct CheckInput {
    std::string registryFile;      // the machine-wide registry stand-in
    std::string programDirectory;  // the data directory when the registry names none
    // The configuration file to check; nothing: the one the start would read. Its directory is
    // then the data directory (the client files' default place).
    std::optional<std::string> configFile;
    std::int64_t now = 0;  // for the leases' expiry
};

// The findings in the order they were met.
std::vector<Finding> checkConfiguration(const CheckInput& input);
// Prints one line per finding and a closing count; returns the exit status.
int printFindings(const std::vector<Finding>& findings, std::FILE* out);

}  // namespace tolmark

#pragma once
// Runs a program of the host (systemctl, useradd) without a shell. Linux back end only.

#include <string>
#include <vector>

namespace tolmark::platform {

// args[0] is looked up through PATH; its standard output goes to output when given. Returns the
// exit status, or -1 when it could not be run (errno set).
int runCommand(const std::vector<std::string>& args, std::string* output);

}  // namespace tolmark::platform

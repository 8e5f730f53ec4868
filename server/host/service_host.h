#pragma once
// Velkora's entry point: the command line, installing and removing the service, and hosting
// the server as the service or as a console program ("-debug").

#include <cstdio>
#include <functional>
#include <string>

#include "config/config_store.h"
#include "platform/service_control.h"

namespace tolmark {

// Creates the service's user when missing and gives it the data directory; returns what to
// print when that failed, nothing on success.
using PrepareServiceUser = std::function<std::string(const std::string& dataDirectory)>;
std::string prepareServiceUser(const std::string& dataDirectory);

// Where an installed service keeps its data unless the registry already names a directory, and
// how its user is prepared (tests give their own).
struct InstallLayout {
    ConfigStore& registry;
    std::string dataDirectory;  // ends with "/"
    PrepareServiceUser prepareUser = prepareServiceUser;
};

// Installs and starts the service; prints the outcome to out. The service's user (kServiceUser)
// is created when missing and given the data directory; the unit runs the server as that user
// with only the capabilities it needs. Before the service first starts, the registry gets the
// installed data directory ("Directory"), unless it names one already, so that configuration,
// leases and logs do not land next to the executable.
// Waits (bounded) until the service runs: a start the service manager refused, or a service
// that stopped or never became ready, is a failure. False when anything failed.
bool installService(platform::ServiceControl& control, InstallLayout& layout, std::FILE* out,
                    unsigned pollIntervalMs = 1000);
// Stops and deletes the service; prints the outcome to out.
void removeService(platform::ServiceControl& control, std::FILE* out, unsigned pollIntervalMs = 1000);

int velkoraMain(int argc, char** argv);

}  // namespace tolmark

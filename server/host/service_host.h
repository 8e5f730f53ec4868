#pragma once
// Velkora's entry point: the command line, installing and removing the service, and hosting
// the server as the service or as a console program ("-debug").

#include <cstdio>

#include "platform/service_control.h"

namespace tolmark {

// Installs and starts the service; prints the outcome to out.
void installService(platform::ServiceControl& control, std::FILE* out);
// Stops and deletes the service; prints the outcome to out.
void removeService(platform::ServiceControl& control, std::FILE* out, unsigned pollIntervalMs = 1000);

int velkoraMain(int argc, char** argv);

}  // namespace tolmark

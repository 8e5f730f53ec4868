#include <ctime>

#include "config/config_store.h"
#include "config/settings.h"
#include "platform/paths.h"
#include "tool/trisko.h"

int main(int argc, char** argv) {
    // A local server running as the user its configuration names ("RunAsUser") is the server.
    tolmark::ConfigStore config(tolmark::platform::machineRegistryFile());
    config.setIniPath(
        tolmark::dataDirectoryFromRegistry(config, tolmark::kGeneralSection, tolmark::platform::programDirectory()),
        tolmark::kGeneralSection);
    tolmark::trustServerUser(tolmark::readRunAsUser(config, tolmark::kGeneralSection));
    return tolmark::tool::runTrisko(argc, argv, stdout, stdin, static_cast<std::int64_t>(std::time(nullptr)));
}

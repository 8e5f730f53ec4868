// Dorvane: the manager of the Tolmark DHCP server.

#include <clocale>

#include <QApplication>
#include <QLocale>

#include "config/settings.h"
#include "manager/desktop/desktop_services.h"
#include "manager/desktop/preferences.h"
#include "manager/language/language.h"
#include "manager/window/main_window.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
    using namespace tolmark::manager;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dorvane"));
    QApplication::setApplicationVersion(QStringLiteral(TOLMARK_VERSION));
    std::setlocale(LC_TIME, "");  // list times in the user's own date format

    SingleInstance instance(SingleInstance::defaultName());
    if (!instance.claim()) return 0;  // the running copy comes to the front

    const std::string programDirectory = tolmark::platform::programDirectory();
    const bool german = QLocale::system().language() == QLocale::German;
    UserPreferences preferences(tolmark::platform::userRegistryFile());
    Language language(programDirectory);
    language.load(preferences.language(), german);

    // The server's configuration file in its data directory (the machine-wide "Directory", else
    // the program's directory): the manager writes the log directory value there itself.
    const ManagerRights rights = currentRights();
    tolmark::ConfigStore serverConfig(tolmark::platform::machineRegistryFile());
    const std::string dataDirectory = tolmark::platform::directoryWithSeparator(
        serverConfig.readText(tolmark::kGeneralSection, "Directory", programDirectory, tolmark::kMaxIniPath + 1));
    const bool configFound = serverConfig.setIniPath(dataDirectory, "Dorvane");
    tolmark::trustServerUser(tolmark::readRunAsUser(serverConfig, tolmark::kGeneralSection));

    MainWindowOptions options;
    options.programDirectory = programDirectory;
    options.germanUser = german;
    options.serverConfig = rights.mayControlService && configFound ? &serverConfig : nullptr;
    MainWindow window(language, preferences, rights, options);
    // Without the thread that talks to the server there is nothing to manage.
    if (!window.readyToStart()) return 1;
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    window.show();
    window.start();
    return QApplication::exec();
}

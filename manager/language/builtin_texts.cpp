// The English texts built into the manager, by section and key. A language file replaces any of
// them; a key it lacks shows the text here.

#include <string_view>

#include "manager/language/language.h"

namespace tolmark::manager {
namespace {

struct BuiltIn {
    TextSection section;
    const char* key;
    const char* text;
};

constexpr BuiltIn kTexts[] = {
    // Main menu.
    {TextSection::Menu, "FILE", "&File"},
    {TextSection::Menu, "SERVICE", "&Service"},
    {TextSection::Menu, "START", "&Start"},
    {TextSection::Menu, "STOP", "S&top"},
    {TextSection::Menu, "LOG", "&View log"},
    {TextSection::Menu, "EXIT", "E&xit"},
    {TextSection::Menu, "OPTIONS", "&Options"},
    {TextSection::Menu, "MENU", "&Preferences..."},
    {TextSection::Menu, "ADDSTATIC", "&Add static entries..."},
    {TextSection::Menu, "MODIFY", "&Manage Profiles..."},
    {TextSection::Menu, "WINDOW", "&Window"},
    {TextSection::Menu, "STATIC", "&Static Clients"},
    {TextSection::Menu, "DYNAMIC", "&Dynamic Clients"},
    {TextSection::Menu, "IGNORED", "&Ignored Clients"},
    {TextSection::Menu, "TFTP", "&TFTP"},
    {TextSection::Menu, "NAMES", "&Resolve Addresses"},
    {TextSection::Menu, "REMARKS", "Show Re&marks"},
    {TextSection::Menu, "REFRESH", "&Auto Refresh"},
    {TextSection::Menu, "HELP", "&Help"},
    {TextSection::Menu, "CONTENTS", "&Contents"},
    {TextSection::Menu, "ABOUT", "&About..."},

    // Column headers.
    {TextSection::Strings, "MAC", "MAC address/Id"},
    {TextSection::Strings, "PROFILE", "Profile"},
    {TextSection::Strings, "IPADDR", "IP Address"},
    {TextSection::Strings, "LAST", "Last request on"},
    {TextSection::Strings, "LEASED", "Leased until"},
    {TextSection::Strings, "CLASS", "Class"},
    {TextSection::Strings, "IFACE", "Interface/Relay"},
    {TextSection::Strings, "OBSERVED", "Observed on"},
    {TextSection::Strings, "STATUS", "Status"},
    {TextSection::Strings, "OPER", "Operation"},
    {TextSection::Strings, "FILE", "File"},

    // Context menu, buttons and the notification icon's menu.
    {TextSection::Strings, "MODIFY", "&Modify"},
    {TextSection::Strings, "REMOVE", "&Remove"},
    {TextSection::Strings, "COPY", "&Copy to static"},
    {TextSection::Strings, "MOVE", "&Move to static"},
    {TextSection::Strings, "VIEW_STATIC", "Static"},
    {TextSection::Strings, "VIEW_DYNAMIC", "Dynamic"},
    {TextSection::Strings, "VIEW_IGNORED", "Ignored"},
    {TextSection::Strings, "ADD", "New..."},
    {TextSection::Strings, "VIEW", "&View log"},
    {TextSection::Strings, "EXIT", "&Exit"},

    // Status bars.
    {TextSection::Strings, "STATIC", "  Observed MAC addresses/identifieres:  %u of %u"},
    {TextSection::Strings, "DYNAMIC", "  Leased IP addresses:  %u of %u"},
    {TextSection::Strings, "UNKNOWN", "  Observed MAC addresses/identifiers:  %u"},
    {TextSection::Strings, "CLIENTS", " Active TFTP Clients: %u"},
    {TextSection::Strings, "MODE", "(view mode, no Administrator rights)"},
    {TextSection::Strings, "ERROR_DETECT", " Deactivated, another server was detected"},
    {TextSection::Strings, "ERROR_DHCP", " Error, Port %u already in use"},
    {TextSection::Strings, "ERROR_TFTP", " Error, TFTP server startup failed"},
    {TextSection::Strings, "ERROR_PIPE", " Service not active"},
    {TextSection::Strings, "ERROR_UNTRUSTED",
     " Control pipe held by an untrusted process (uid %u): not the DHCP server"},
    {TextSection::Strings, "READY", " Listening on Port: %u"},

    // Messages and the About box.
    {TextSection::Strings, "ERROR_INIT", "Initialization failed."},
    {TextSection::Strings, "FAILED", "Failed to create dialog"},
    {TextSection::Strings, "ABOUT_TITLE", "About"},
    {TextSection::Strings, "ABOUT_TEXT", "Manager of the Tolmark DHCP and TFTP server"},
    {TextSection::Strings, "VERSION", "Version %s"},
    {TextSection::Strings, "HELP_MISSING", "The help page %s could not be opened."},

    // Log viewer.
    {TextSection::Strings, "PROTOCOL", "Log"},
    {TextSection::Strings, "DATE", "Date"},
    {TextSection::Strings, "TIME", "Time"},
    {TextSection::Strings, "SERVICE", "Service"},

    // Static entries.
    {TextSection::Strings, "INVALID_ID", "Identifier has invalid format"},
    {TextSection::Strings, "INVALID_MAC", "MAC address has invalid format,\nplease use xx:xx:xx:xx:xx:xx"},
    {TextSection::Strings, "INVALID_IPADDR", "Invalid IP address"},
    {TextSection::Strings, "CREATE", "Create new profile named\n%s?"},
    {TextSection::Strings, "DUPLICATE", "IP address or MAC address/identifier already exists"},

    // Profiles.
    {TextSection::Strings, "PROFILES", "Configuration profiles"},
    {TextSection::Strings, "TYPE", "Type"},
    {TextSection::Strings, "PROFILENAME", "Profile Name"},
    {TextSection::Strings, "NEWPROFILE", "Please specify a name for the new configuration profile:"},
    {TextSection::Strings, "RENAME_FAILED", "Rename operation failed"},
    {TextSection::Strings, "USED_PROFILE", "Profile %s\nis assigned to MAC addresses/identifiers"},
    {TextSection::Strings, "CLASS_MAC", "Static Entries"},
    {TextSection::Strings, "CLASS_BLOCK", "MAC Range"},
    {TextSection::Strings, "CLASS_USER", "User Class"},
    {TextSection::Strings, "CLASS_VENDOR", "Vendor Class"},
    {TextSection::Strings, "CLASS_RELAY", "Relay IP Address"},
    {TextSection::Strings, "CLASS_IFACE", "Interface IP Address"},
    {TextSection::Strings, "CLASS_CLIENT", "Client ID Range"},
    {TextSection::Strings, "RELAY_NO", "without RA ID"},
    {TextSection::Strings, "RELAY_CIRCUIT", "with RA Circuit ID"},
    {TextSection::Strings, "RELAY_REMOTE", "with RA Remote ID"},
    {TextSection::Strings, "FORMAT", "Invalid format"},
    {TextSection::Strings, "USED_RELAY", "Relay IP address already assigned to another profile."},
    {TextSection::Strings, "IMPL_OPTION", "Implemented Option (use dialog)"},
    {TextSection::Strings, "EXCL_OPTION", "Option unavailable"},
    {TextSection::Strings, "INVALID_OPTLEN", "Invalid Option length"},

    // Dialog messages.
    {TextSection::Strings, "REFUSED", "The server did not take the change (it needs administrator rights)."},
    {TextSection::Strings, "NO_INTERFACE", "Select at least one interface."},

    // Language list of the Preferences.
    {TextSection::Strings, "LANGUAGE", "Language"},
    {TextSection::Strings, "MODULE", "Module"},
    {TextSection::Strings, "AVAILABLE", "Available Languages:"},
    {TextSection::Strings, "TRANSLATION", "Translation by:"},
};

}  // namespace

QString builtInText(TextSection section, std::string_view key) {
    for (const BuiltIn& t : kTexts) {
        if (t.section == section && key == t.key) return QString::fromUtf8(t.text);
    }
    return {};
}

}  // namespace tolmark::manager

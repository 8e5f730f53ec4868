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
    {TextSection::Strings, "STATE_TEXT", "Server state"},
    {TextSection::Strings, "STORE_TEXT", "Lease store"},
    {TextSection::Strings, "LEASES_FILES", "Leases: client files"},
    {TextSection::Strings, "LEASES_DATABASE", "Leases: %s, reachable, %u changes waiting"},
    {TextSection::Strings, "LEASES_UNREACHABLE",
     "Leases: %s, unreachable (leases served from memory), %u changes waiting"},

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
    {TextSection::Strings, "INVALID_MASK", "Invalid subnet mask"},
    {TextSection::Strings, "CREATE", "Create new profile named\n%s?"},
    {TextSection::Strings, "DUPLICATE", "IP address or MAC address/identifier already exists"},
    {TextSection::Strings, "ENTRY_GONE", "The entry is no longer on the server; the list is read again."},
    {TextSection::Strings, "ROWS_GONE", "These entries are no longer on the server and were passed over:\n%s"},
    {TextSection::Strings, "ROWS_NOT_CHANGED", "These entries were not stored:\n%s"},
    {TextSection::Strings, "MOVE_KEPT",
     "The static entry was stored, but the server kept the ignored entry: the client stays ignored until it is "
     "removed."},

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
    {TextSection::Strings, "PART_STORED",
     "Profile %s was stored only in part.\nStored: %s\nNot stored: %s\nThe server goes on with the profile it "
     "loaded; Apply stores the rest."},
    {TextSection::Strings, "LIST_PART",
     "The list of profiles was written only in part; the server goes on with the profiles it loaded. Remove the "
     "profile again to finish."},
    {TextSection::Strings, "OPT_NOROOM", "The options of a profile take at most 508 bytes: this one does not fit"},

    // Dialog messages.
    {TextSection::Strings, "REFUSED", "The server did not take the change (it needs administrator rights)."},
    {TextSection::Strings, "NO_INTERFACE", "Select at least one interface."},
    {TextSection::Strings, "NO_INTERFACE_LEFT",
     "Since these preferences were opened, the interfaces left selected here were turned off elsewhere: with "
     "this change the server would serve no interface. Nothing was sent. The list now shows the interfaces as "
     "the server holds them; select at least one."},
    {TextSection::Strings, "DIR_FAILED", "The data directory could not be stored in the server's configuration file."},

    // Dialog captions, sheet tabs (the page's caption in English) and folder browser titles.
    {TextSection::Strings, "StaticEntry", "Static entry"},
    {TextSection::Strings, "PREFERENCES", "Preferences"},
    {TextSection::Strings, "APPLY", "&Apply"},
    {TextSection::Strings, "General", "General"},
    {TextSection::Strings, "Interface", "Interfaces"},
    {TextSection::Strings, "DHCP", "DHCP"},
    {TextSection::Strings, "TFTP", "TFTP"},
    {TextSection::Strings, "Options", "TFTP Options"},
    {TextSection::Strings, "Basic", "Basic Profile"},
    {TextSection::Strings, "DNS", "DNS"},
    {TextSection::Strings, "NetBios", "NetBios"},
    {TextSection::Strings, "Boot", "Boot"},
    {TextSection::Strings, "Other", "Other"},
    {TextSection::Strings, "LOG_TITLE", "Please choose a directory for the DHCP Server log files."},
    {TextSection::Strings, "DIR_TITLE",
     "Please choose a Root directory for the TFTP server. Clients specify a path relativ to this directory."},
    {TextSection::Strings, "LOG_LINES", "Lines shown: %u"},
    {TextSection::Strings, "LOG_CUT",
     "Lines shown: %u - the server stopped answering, the rest of the file is missing"},
    {TextSection::Strings, "LOG_REFUSED",
     "Lines shown: %u - the server refused to read on, the rest of the file is missing"},
    {TextSection::Strings, "LOG_FAILURE", "failure"},
    {TextSection::Strings, "LOG_FILES_CUT", "File list incomplete: the server broke off the search"},
    {TextSection::Strings, "LIST_CUT", "(incomplete: the server stopped giving the list partway)"},
    {TextSection::Strings, "IFACE_OFF", "not selected"},
    {TextSection::Strings, "IFACE_ON", "selected"},
    {TextSection::Strings, "IFACE_TRUSTED", "selected and trusted"},
    {TextSection::Strings, "BROWSE", "Browse for a folder"},

    // Language list of the Preferences (the Language tab shares "LANGUAGE": keys are compared
    // without case, as in every INI file).
    {TextSection::Strings, "LANGUAGE", "Language"},
    {TextSection::Strings, "MODULE", "Module"},
    {TextSection::Strings, "AVAILABLE", "Available Languages:"},
    {TextSection::Strings, "TRANSLATION", "Translation by:"},

    // Dialog controls, by the key the language file's "Control" section uses. Keys that the
    // language files give to two different controls are split where their texts differ: the
    // static entry's "RA_CIRCUIT" and "RA_REMOTE", the Other page's "OPT_BINARY", "OPT_IPADDR" and
    // "OPT_ADD".
    {TextSection::Control, "FILE", "File:"},
    {TextSection::Control, "PRINT", "&Print"},
    {TextSection::Control, "BOOTP", "Accept BOOTP requests"},
    {TextSection::Control, "DHCP", "Accept DHCP requests"},
    {TextSection::Control, "ENABLERA", "Accept Relay Agent Information (Option 82)"},
    {TextSection::Control, "NOCLIENT", "for Profile selection only"},
    {TextSection::Control, "CIRCUIT", "Accept Circuit Identifier"},
    {TextSection::Control, "REMOTE", "Accept Remote Identifier"},
    {TextSection::Control, "ENABLEID", "Accept Client Identifier (Option 61)"},
    {TextSection::Control, "ENABLEMA", "Accept MAC Addresses"},
    {TextSection::Control, "NAME2UC", "Accept Client Hostname as User Class Identifier"},
    {TextSection::Control, "SINGLE", "Sole Server environment (Respond to all init-reboot requests)"},
    {TextSection::Control, "UNICAST", "Send replies as unicast messages (if broadcast flag is not set)"},
    {TextSection::Control, "AUTOCONF", "Disable Client Auto-Configuration (Option 116)"},
    {TextSection::Control, "CHANGE", "Vary dynamic IP address of clients"},
    {TextSection::Control, "ARPTEST", "Check that a selected dynamic IP address is not in use"},
    {TextSection::Control, "GRIDLINES", "Show grid lines"},
    {TextSection::Control, "ADDPROF", "Add profiles to menu"},
    {TextSection::Control, "SHOWDASH", "Use dash as separator in MAC (hardware) addresses"},
    {TextSection::Control, "SHOWSTRING", "Show Identifier as text string (if possible)"},
    {TextSection::Control, "UPDATE", "Save last access time"},
    {TextSection::Control, "PROTOCOL", "Log"},
    {TextSection::Control, "LOG", "Write log file"},
    {TextSection::Control, "LOGALL", "log all details"},
    {TextSection::Control, "NEWLOG", "Create new log file"},
    {TextSection::Control, "DAILY", "daily"},
    {TextSection::Control, "MONTHLY", "monthly"},
    {TextSection::Control, "TFTPSTATUS", "TFTP status indication"},
    {TextSection::Control, "PERCENT", "Show Percent complete (if possible)"},
    {TextSection::Control, "DIR", "Data Directory:"},
    {TextSection::Control, "DETECT", "Pause as long as another Server is detected (Backup server)"},
    {TextSection::Control, "ANSWER", "Respond to registered (static) addresses/identifiers  only"},
    {TextSection::Control, "RELAYSRC", "Reply to relayed requests to sender"},
    {TextSection::Control, "SELECT", "Select interfaces by local IP address:"},
    {TextSection::Control, "IFACEINFO",
     "A click on an address selects it for the DHCP server; with relay agent information accepted, a second click also "
     "trusts it, and the next click deselects it. At least one address stays selected."},
    {TextSection::Control, "INCLUDE", "Use only selected interfaces"},
    {TextSection::Control, "LANGUAGE", "Current Language:"},
    {TextSection::Control, "AVAILABLE", "Available Languages:"},
    {TextSection::Control, "TRANSLATION", "Translation by:"},
    {TextSection::Control, "TIMEOUT", "Retransmission timeout (secs):"},
    {TextSection::Control, "RETRANSMIT", "Max. number of re-transmits:"},
    {TextSection::Control, "BSIZEOPT", "Accept blocksize option"},
    {TextSection::Control, "TIMEOPT", "Accept timeout option"},
    {TextSection::Control, "TSIZEOPT", "Accept tsize option"},
    {TextSection::Control, "UNIX", "LF<->CRLF conversion on ASCII transfer"},
    {TextSection::Control, "MMF", "Optimize file access for simultanous downloads"},
    {TextSection::Control, "MULTICAST", "TFTP Multicast"},
    {TextSection::Control, "MCAST", "Enable TFTP Multicast operation"},
    {TextSection::Control, "MCASTIP", "TFTP Multicast IP Address:"},
    {TextSection::Control, "MCASTPORT", "TFTP Multicast Port:"},
    {TextSection::Control, "MCASTTTL", "TFTP Multicast TTL:"},
    {TextSection::Control, "TFTP", "TFTP Download Server on Port"},
    {TextSection::Control, "TFTPDIR", "TFTP Root Directory:"},
    {TextSection::Control, "ROOTIP", "Use IP address specific root directory if one exists "},
    {TextSection::Control, "ROOTPROFILE", "Use Profile specific root directory if one exists "},
    {TextSection::Control, "PREFIX", "List of allowed prefixes for other files:"},
    {TextSection::Control, "OPERATION", "Operation"},
    {TextSection::Control, "BOOTONLY", "Restrict download to named Boot file only"},
    {TextSection::Control, "BOOTFILE", "Restrict download to clients with a configured Boot file"},
    {TextSection::Control, "BOOTMAC", "Restrict download to known MAC addresses/identifiers"},
    {TextSection::Control, "BOOTIP", "Restrict download to managed IP addresses"},
    {TextSection::Control, "DATA", "UDP Ports for data transfer start at:"},
    {TextSection::Control, "CLIENTS", "Max. number of active Clients:"},
    {TextSection::Control, "WSIZE", "Don't wait for ACK (faster, but not standard)"},
    {TextSection::Control, "FOR", "for:"},
    {TextSection::Control, "BINARY", "Hexadecimal"},
    {TextSection::Control, "STRING", "String"},
    {TextSection::Control, "POOL", "Dynamic IP Address Pool"},
    {TextSection::Control, "FROM", "From:"},
    {TextSection::Control, "UNTIL", "Until:"},
    {TextSection::Control, "INFINITE", "infinite"},
    {TextSection::Control, "LEASE", "Lease time (s):"},
    {TextSection::Control, "SUBNET", "Subnet mask:"},
    {TextSection::Control, "GATEWAY", "Gateway Address:"},
    {TextSection::Control, "BACKUP1", "Backup Gateway 1:"},
    {TextSection::Control, "BACKUP2", "Backup Gateway 2:"},
    {TextSection::Control, "BOOTSERVER", "Boot Server"},
    {TextSection::Control, "NEXTIP", "Next Server IP Address:"},
    {TextSection::Control, "BOOTNAME", "Name:"},
    {TextSection::Control, "USEOPT", "Always use option 66/67 for Name and File (not standard)"},
    {TextSection::Control, "ALTERNATE", "Alternate File if Vendor-Class-Id is:"},
    {TextSection::Control, "BOOTSIZE", "Boot File Size (in 512 byte blocks):"},
    {TextSection::Control, "ROOTPATH", "Root Path:"},
    {TextSection::Control, "BOOTSUBST", "Substitutions in File and Root Path:"},
    {TextSection::Control, "SUBST", "%N = host name\n%A = IP address"},
    {TextSection::Control, "Domain", "IP Domain Name:"},
    {TextSection::Control, "DNSADDRS", "DNS Server IP Addresses"},
    {TextSection::Control, "DNSNAME", "Host Name"},
    {TextSection::Control, "SENDNAME",
     "For clients with a fixed IP address resolve host name via DNS and provide it to client."},
    {TextSection::Control, "ACCEPTNAME", "For clients with a dynamic IP address accept name proposed by client."},
    {TextSection::Control, "DNSCREATE",
     "Clients that propose no name get one made of the base name and their IP address."},
    {TextSection::Control, "BASENAME", "Base name for clients:"},
    {TextSection::Control, "DNSUPDATE", "Register names with DNS server"},
    {TextSection::Control, "WINS1", "1. WINS Address:"},
    {TextSection::Control, "WINS2", "2. WINS Address:"},
    {TextSection::Control, "SCOPE", "Scope ID:"},
    {TextSection::Control, "NODE", "Node Type:"},
    {TextSection::Control, "OFFSET", "Time offset from UTC (s):"},
    {TextSection::Control, "TIMESERVER", "Time Server Address:"},
    {TextSection::Control, "NTPSERVER", "NTP Server Address:"},
    {TextSection::Control, "OPT_BINARY", "Binary"},
    {TextSection::Control, "OPT_IPADDR", "IP address(es)"},
    {TextSection::Control, "OTHERSUBST", "Substitutions:"},
    {TextSection::Control, "OTHERSTRING", "%N, %A, %H, %F and %1 to %4 in a string are replaced for each client."},
    // Not "&Add": Alt+A is the sheet's "&Apply".
    {TextSection::Control, "OPT_ADD", "A&dd"},
    {TextSection::Control, "REMOVE", "&Remove"},
    {TextSection::Control, "OTHERINFO", "Option  Length  Value(s) ..."},
    {TextSection::Control, "OPTION", "Option:"},
    {TextSection::Control, "LENGTH", "Length:"},
    {TextSection::Control, "VALUE", "Value(s):"},
    {TextSection::Control, "ADD", "&Add..."},
    {TextSection::Control, "RENAME", "Re&name"},
    {TextSection::Control, "EDIT", "&Edit..."},
    {TextSection::Control, "OK", "OK"},
    {TextSection::Control, "CANCEL", "Cancel"},
    {TextSection::Control, "STATICINFO1",
     "A static entry gives a client a fixed IP address, or, with an empty IP address, makes it a known client with a "
     "dynamic address."},
    {TextSection::Control, "STATICINFO2",
     "Identify the client by its MAC address, its client identifier (hexadecimal, or text after a double quote) or the "
     "relay agent information it arrives with."},
    {TextSection::Control, "STATICINFO3", "Host name, configuration profile and remark are optional."},
    {TextSection::Control, "RA", "Relay Agent Information:"},
    {TextSection::Control, "RA_CIRCUIT", "Circuit"},
    {TextSection::Control, "RA_REMOTE", "Remote Identifier"},
    {TextSection::Control, "IDENTIFIER", "Client Identifier:"},
    {TextSection::Control, "MAC", "MAC Address:"},
    {TextSection::Control, "IPADDR", "IP Address:"},
    {TextSection::Control, "OPTIONAL", "Optional"},
    {TextSection::Control, "HOSTNAME", "Hostname:"},
    {TextSection::Control, "PROFILE", "Configuration Profile:"},
    {TextSection::Control, "REMARK", "Remark:"},
    {TextSection::Control, "BACKUP", "Redundant entry (allow entry with an existing IP address)"},
    {TextSection::Control, "DNS1", "1."},
    {TextSection::Control, "DNS2", "2."},
    {TextSection::Control, "DNS3", "3."},
    {TextSection::Control, "DNS4", "4."},
};

}  // namespace

std::vector<std::string_view> builtInKeys(TextSection section) {
    std::vector<std::string_view> keys;
    for (const BuiltIn& t : kTexts) {
        if (t.section == section) keys.emplace_back(t.key);
    }
    return keys;
}

QString builtInText(TextSection section, std::string_view key) {
    for (const BuiltIn& t : kTexts) {
        if (t.section == section && equalsNoCase(key, t.key)) return QString::fromUtf8(t.text);
    }
    return {};
}

}  // namespace tolmark::manager

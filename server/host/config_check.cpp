#include "server/host/config_check.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unordered_map>

#include "base/error_text.h"
#include "base/file_descriptor.h"
#include "common/entry_line.h"
#include "config/config_store.h"
#include "config/ini_file.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings.h"
#include "platform/files.h"
#include "platform/privileges.h"
#include "server/host/server.h"
#include "server/leasedb/lease_database.h"
#include "server/leases/client_files.h"
#include "server/metrics/metrics_listener.h"
#include "server/tftp/request_parser.h"

namespace tolmark {
namespace {

class Findings final : public FindingSink {
public:
    void report(const Finding& finding) override { all.push_back(finding); }
    void add(FindingLevel level, std::string file, unsigned line, std::string problem, std::string startDoes,
             std::string section = {}, std::string key = {}) {
        all.push_back({level, std::move(file), line, std::move(section), std::move(key), std::move(problem),
                       std::move(startDoes)});
    }
    std::vector<Finding> all;
};

// The client file loaders report through the log: their lines about where a file stops being
// read become findings of the file being loaded. The loader names the file by the descriptor
// path it was given; the finding names the file itself.
class LoaderLines final : public LogSink {
public:
    explicit LoaderLines(Findings& findings) : findings_(findings) {}
    void loading(std::string file, std::string givenPath) {
        file_ = std::move(file);
        given_ = std::move(givenPath);
        stopLine_ = 0;
    }
    // The line (from 1) loading stopped at; 0 when the whole file was read.
    unsigned stopLine() const { return stopLine_; }
    int level() const override { return 2; }

protected:
    __attribute__((format(printf, 3, 0))) void writeLine(bool, const char* format, va_list args) override {
        char text[2048];
        if (std::vsnprintf(text, sizeof text, format, args) < 0) return;
        const std::string_view line(text);
        const std::size_t at = line.find(given_ + " ");
        if (at == std::string_view::npos) return;
        const std::string_view rest = line.substr(at + given_.size() + 1);
        unsigned number = 0;
        unsigned following = 0;
        struct Kind {
            const char* marker;
            FindingLevel level;
            const char* problem;
            bool restNotHeld;              // the rest of the file is not even kept for the next save
            const char* readOn = nullptr;  // a line the start loads as it says here, reading on
        };
        static const Kind kinds[] = {
            {": no client identity, ", FindingLevel::Error, "the entry has no client identity that reads", false},
            {": empty line, ", FindingLevel::Warning, "an empty line", false},
            {": no memory, ", FindingLevel::Error, "no memory left for the entry", false},
            {": loading stopped, ", FindingLevel::Error, "the rest of the file is too large to hold", true},
            {": longer than ", FindingLevel::Warning, "the line is longer than an entry may be", false,
             "the start reads its first 1023 characters; the rest is gone from the file after the next save"},
            {": the last line has no line break", FindingLevel::Warning,
             "the last line has no line break: the file was cut short?", false,
             "the start reads the line as it stands, but holds a lease whose time may have lost digits for "
             "one lease time, and gives a lease outside its profile's pool the profile whose pool holds it"},
            {"\" is not an address", FindingLevel::Warning, "the second field is not an address", false,
             "the start loads the client without an address and without its lease time"},
        };
        for (const Kind& kind : kinds) {
            const std::size_t marker = rest.find(kind.marker);
            if (marker == std::string_view::npos || std::sscanf(rest.data(), "%u", &number) != 1) continue;
            if (kind.readOn != nullptr) {
                findings_.add(kind.level, file_, number + 1, kind.problem, kind.readOn);
                return;
            }
            std::sscanf(rest.data() + marker + std::strlen(kind.marker), "%u", &following);
            stopLine_ = number + 1;
            char does[160];
            if (kind.restNotHeld)
                std::snprintf(does, sizeof does, "the start stops reading here and never replaces the file");
            else if (following <= 1)
                std::snprintf(does, sizeof does,
                              "the start stops reading here: the line is kept in the file but "
                              "not served");
            else
                std::snprintf(does, sizeof does,
                              "the start stops reading here: this line and the %u after it are kept in the file "
                              "but not served",
                              following - 1);
            findings_.add(kind.level, file_, stopLine_, kind.problem, does);
            return;
        }
    }

private:
    Findings& findings_;
    std::string file_;
    std::string given_;
    unsigned stopLine_ = 0;
};

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// False when the file cannot be read as a configuration (the rest of the check would read
// every default and report nothing more of use).
bool checkConfigurationFile(const std::string& path, Findings& findings) {
    // O_NONBLOCK: a FIFO in the file's place holds no open (it is no regular file either).
    platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd) {
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) return true;
        findings.add(FindingLevel::Error, path, 0, "is not a regular file", "the start refuses to run");
        return false;
    }
    if (errno == ENOENT) {
        findings.add(FindingLevel::Warning, path, 0, "there is no configuration file",
                     "the start uses every default and writes a profile for each served interface into a new one");
        return true;
    }
    findings.add(FindingLevel::Error, path, 0, std::string("cannot be read: ") + errorText(errno),
                 "the start (as this user) refuses to run");
    return false;
}

// Lines the start never reads because an earlier one of the same name is the one read.
void checkUnreadLines(const std::string& path, Findings& findings) {
    const LoadedIniFile loaded = loadIniFile(path);
    for (const IniFile::UnreadLine& u : loaded.file.unreadLines()) {
        const std::string first = std::to_string(u.readLine);
        if (u.notKey)
            findings.add(FindingLevel::Warning, path, static_cast<unsigned>(u.line),
                         "neither a key=value line, a section header nor a comment", "the start ignores this line",
                         u.section);
        else if (u.readLine == 0)
            findings.add(FindingLevel::Warning, path, static_cast<unsigned>(u.line), "a key before the first section",
                         "the start reads it in no section", {}, u.key);
        else if (u.key.empty())
            findings.add(FindingLevel::Warning, path, static_cast<unsigned>(u.line),
                         "the section again, after its start at line " + first,
                         u.keysUnread == 1
                             ? std::string("the start does not read the key below this line")
                             : "the start reads none of the " + std::to_string(u.keysUnread) + " keys below this line",
                         u.section);
        else
            findings.add(FindingLevel::Warning, path, static_cast<unsigned>(u.line),
                         "the key again, after line " + first, "the start reads line " + first + " and not this one",
                         u.section, u.key);
    }
    for (const IniFile::UnclosedHeader& h : loaded.file.unclosedHeaders())
        findings.add(FindingLevel::Warning, path, static_cast<unsigned>(h.line),
                     "a section header without its closing \"]\"",
                     "the start reads it as the header of the section \"" + h.section + "\"", h.section);
}

void checkServerSettings(const ConfigStore& store, const std::string& dataDirectory, Findings& findings,
                         DhcpSettings& dhcp, TftpSettings& tftp) {
    MulticastSettings multicast;
    readGeneralSettings(store, kGeneralSection, dataDirectory, dhcp);
    readTftpSettings(store, kGeneralSection, dataDirectory, tftp, multicast);
    if (const std::string user = readRunAsUser(store, kGeneralSection); !user.empty()) {
        const std::optional<platform::UserAccount> account = platform::makeProcessIdentity()->findUser(user);
        if (!account)
            store.report(FindingLevel::Error, kGeneralSection, "RunAsUser", "no user " + user + " exists",
                         "the start refuses to run");
    }
    reportAddressLists(store, kGeneralSection);
    if (tftp.enable != 0 && !tftp.directory.empty()) {
        struct stat st {};
        std::string problem;
        if (::stat(tftp.directory.c_str(), &st) != 0)
            problem = "the TFTP root " + tftp.directory + " cannot be opened: " + errorText(errno);
        else if (!S_ISDIR(st.st_mode))
            problem = "the TFTP root " + tftp.directory + " is not a directory";
        if (!problem.empty())
            store.report(FindingLevel::Warning, kGeneralSection, "TFTPDirectory", problem,
                         "the start serves TFTP, and every request is refused as \"File not found\"");
    }
    if (const std::string listen = readMetricsListen(store); !listen.empty()) {
        std::string error;
        if (!parseMetricsListen(listen, error))
            store.report(FindingLevel::Warning, kGeneralSection, "MetricsListen", "\"" + listen + "\": " + error,
                         "the start serves no metrics page");
    }
    if (const std::string database = readLeaseDatabase(store, kGeneralSection); !database.empty()) {
        std::string error;
        if (!leasedb::checkConnectionString(database, error))
            store.report(FindingLevel::Warning, kGeneralSection, "LeaseDatabase", error,
                         "the start finds the database unreachable: it serves the leases of the files and gives "
                         "out no new address");
        struct stat st {};
        if (leasedb::connectionHoldsPassword(database) && ::stat(store.iniPath().c_str(), &st) == 0 &&
            (st.st_mode & S_IROTH) != 0)
            store.report(FindingLevel::Warning, kGeneralSection, "LeaseDatabase",
                         "holds the database's password, and every user of the host may read this file",
                         "the start connects with it; move the password to ~/.pgpass of the server's user, or "
                         "take the file's read permission from others");
    }
    if (!dataDirectory.empty() && !platform::directoryWritable(dataDirectory)) {
        findings.add(
            FindingLevel::Warning, dataDirectory, 0,
            std::string("the data directory is not writable by this user: ") + errorText(errno),
            "the start (as this user) logs an error, and refuses to start when the lease file (Dynamic) is kept there");
    }
}

std::string dotted(Ipv4 address) { return formatIpv4(address).c_str(); }

// A pool that does not fit the network its profile serves: beyond the network of the
// interface or relay address (by the profile's mask), over the network's own or broadcast
// address, or over the interface, relay or gateway address itself.
void checkPool(const ConfigStore& store, const Profile& p) {
    if (!p.hasPool() || p.range <= 0) return;
    const std::uint32_t first = ipv4ToHostOrder(p.baseIp);
    const std::uint32_t last = first + static_cast<std::uint32_t>(p.range) - 1;
    const std::string pool = "the pool " + dotted(p.baseIp) + " to " + dotted(ipv4FromHostOrder(last));
    const char* selectorKey = p.selectorKind == SelectorKind::Interface ? "InterfaceIP"
                              : p.selectorKind == SelectorKind::Relay   ? "RelayIP"
                                                                        : nullptr;
    const bool selector = selectorKey != nullptr && p.selectorAddress != 0 && p.selectorAddress != kBroadcastAll;
    const std::uint32_t mask = ipv4ToHostOrder(p.subnetMask);
    const bool maskUsable = mask != 0 && (~mask & (~mask + 1)) == 0;
    if (selector && maskUsable) {
        const std::uint32_t network = ipv4ToHostOrder(p.selectorAddress) & mask;
        const std::string of = " of " + std::string(selectorKey) + " " + dotted(p.selectorAddress) + " (mask " +
                               dotted(p.subnetMask) + ")";
        const bool firstIn = (first & mask) == network;
        if (!firstIn || (last & mask) != network) {
            store.report(FindingLevel::Warning, p.name, firstIn ? "Range" : "BaseIP",
                         pool + (firstIn ? " reaches beyond the network" : " lies outside the network") + of,
                         "the start hands these addresses out all the same, where the clients cannot use them");
            return;
        }
        const std::uint32_t broadcast = network | ~mask;
        if (~mask > 1 && first == network)
            store.report(FindingLevel::Warning, p.name, "BaseIP", pool + " starts at the network's own address",
                         "the start holds it back: no client gets it");
        else if (~mask > 1 && last == broadcast)
            store.report(FindingLevel::Warning, p.name, "Range", pool + " ends at the network's broadcast address",
                         "the start holds it back: no client gets it");
    }
    struct Held {
        const char* key;
        Ipv4 address;
    };
    const Held held[] = {
        {selector ? selectorKey : nullptr, p.selectorAddress},
        {"GatewayIP", p.gateway[0]},
        {"Gateway2IP", p.gateway[1]},
        {"Gateway3IP", p.gateway[2]},
    };
    Ipv4 reported[std::size(held)] = {};
    std::size_t count = 0;
    for (const Held& h : held) {
        if (h.key == nullptr || h.address == 0 || !p.poolContains(h.address)) continue;
        if (std::find(reported, reported + count, h.address) != reported + count) continue;
        reported[count++] = h.address;
        const bool own = p.selectorKind == SelectorKind::Interface && h.address == p.selectorAddress;
        store.report(FindingLevel::Warning, p.name, h.key, pool + " holds this address, " + dotted(h.address),
                     own ? "the start keeps it out of the pool while this host has it"
                         : "the start hands it to a client, unless this host has it or TestIP finds it answering");
    }
}

// A boot file that a profile sends its clients to fetch from this server, and that the TFTP
// root does not hold: every such download is refused. Checked where the file's place is known:
// a plain name (no template), this server as the one to fetch from (no "NextIP", or the
// interface address), and no directory per client address.
void checkBootFiles(const ConfigStore& store, const TftpSettings& tftp, const Profile& p) {
    if (tftp.enable == 0 || (tftp.rootIpSpecific >= 1 && tftp.rootIpSpecific <= 32)) return;
    if (p.nextIp != 0 && !(p.selectorKind == SelectorKind::Interface && p.nextIp == p.selectorAddress)) return;
    std::string root = tftp.directory;
    if (!root.empty() && root.back() != '/') root += '/';
    struct stat rootStatus {};
    if (::stat(root.c_str(), &rootStatus) != 0) return;  // said of TFTPDirectory already
    if (tftp.rootProfile != 0) {
        struct stat st {};
        if (::stat((root + p.name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) root += p.name + "/";
    }
    const auto check = [&](const char* key, std::string name) {
        if (name.empty() || name.find_first_of("%:") != std::string::npos) return;
        std::replace(name.begin(), name.end(), '\\', '/');
        const std::string path =
            tftp::matchingPrefix(tftp.prefix, name) ? name : root + (name[0] == '/' ? name.substr(1) : name);
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return;
        store.report(FindingLevel::Warning, p.name, key, "the boot file " + path + " is not there",
                     "the start names it to the clients, and their download of it is refused");
    };
    check("BootFile", p.bootFile);
    if (!p.vendorClassId.empty()) check("BootFile2", p.bootFile2);
}

ProfileList checkProfiles(const ConfigStore& store, const OptionCodeList& defaults, const TftpSettings& tftp) {
    if (profilesToBeCreated(store)) {
        store.report(FindingLevel::Warning, kGeneralSection, "Profile0", "no profile is configured",
                     "the start writes a profile for each served interface into the configuration");
    }
    std::vector<Profile> profiles;
    const std::vector<std::string> names = profileNames(store);
    // The list ends at its first missing number: a profile listed after the gap is not loaded.
    for (const SectionEntry& entry : store.openSection(kGeneralSection).value_or(std::vector<SectionEntry>{})) {
        if (!startsWithNoCase(entry.key, "Profile") || entry.key.size() == 7 || entry.key.size() > 12 ||
            entry.key.find_first_not_of("0123456789", 7) != std::string::npos || entry.value.empty())
            continue;
        if (std::stoul(entry.key.substr(7)) <= names.size()) continue;
        store.report(
            FindingLevel::Warning, kGeneralSection, entry.key,
            "names the profile " + entry.value + " after a gap: Profile" + std::to_string(names.size()) + " is missing",
            "the start loads only the profiles listed before the gap, not this one");
    }
    unsigned n = 0;
    for (const std::string& name : names) {
        // A profile listed twice is loaded twice: the manager lists it twice and its pool counts
        // twice in the pool total, while clients are served by the first.
        const auto first = std::find_if(names.begin(), names.begin() + n,
                                        [&](const std::string& other) { return profileNameEquals(other, name); });
        if (first != names.begin() + n) {
            store.report(FindingLevel::Warning, kGeneralSection, "Profile" + std::to_string(n),
                         "names the profile " + name + " a second time, as Profile" +
                             std::to_string(first - names.begin()) + " does",
                         "the start loads it twice: it is listed twice and its pool counts twice in the total");
        }
        if (profileNameEquals(name, kGeneralSection)) {
            store.report(FindingLevel::Warning, kGeneralSection, "Profile" + std::to_string(n),
                         "names the profile " + name + ", whose section is the server's own",
                         "the start reads the profile from the server's settings, and the profile editor writes "
                         "its keys among them");
        } else if (!store.openSection(name)) {
            store.report(FindingLevel::Warning, kGeneralSection, "Profile" + std::to_string(n),
                         "names the profile " + name + ", which has no section",
                         "the start serves it with every default and no pool");
        }
        if (!entryLineHoldsProfile(name)) {
            store.report(FindingLevel::Warning, kGeneralSection, "Profile" + std::to_string(n),
                         "names the profile " + name +
                             ", which the lines of the client files cannot hold (a blank before '#' starts a "
                             "remark; a leading ':' or '=' a time or an address; a control character)",
                         "the start serves it, but its static entries and leases are saved in lines that load in "
                         "another profile at the next start");
        }
        readProfile(store, name, defaults, profiles.emplace_back());
        checkPool(store, profiles.back());
        checkBootFiles(store, tftp, profiles.back());
        ++n;
    }
    // Pools of two profiles that share addresses: each address goes to the pool that gives it
    // out first, and the other holds it.
    const auto last = [](const Profile& p) {
        return ipv4ToHostOrder(p.baseIp) + static_cast<std::uint32_t>(p.range) - 1;
    };
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        const Profile& later = profiles[i];
        if (!later.hasPool() || later.range <= 0) continue;
        for (std::size_t j = 0; j < i; ++j) {
            const Profile& earlier = profiles[j];
            if (!earlier.hasPool() || earlier.range <= 0 || profileNameEquals(earlier.name, later.name)) continue;
            if (ipv4ToHostOrder(later.baseIp) > last(earlier) || ipv4ToHostOrder(earlier.baseIp) > last(later))
                continue;
            store.report(FindingLevel::Warning, later.name, "BaseIP",
                         "the pool " + dotted(later.baseIp) + " to " + dotted(ipv4FromHostOrder(last(later))) +
                             " shares addresses with the pool of " + earlier.name,
                         "the start gives each shared address to the pool that gives it out first");
            break;
        }
    }
    ProfileList list;
    list.assign(std::move(profiles));
    return list;
}

// The whole file as the loader saw it, one entry per line ("\r\n" and "\n" ends; at most the
// characters the loader keeps). Read through the same descriptor.
std::vector<std::string> fileLines(int fd) {
    std::vector<std::string> lines;
    std::string line;
    char buffer[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += n;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                line.push_back(buffer[i]);
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > kMaxEntryLine) line.resize(kMaxEntryLine);
            lines.push_back(std::move(line));
            line.clear();
        }
    }
    if (!line.empty()) lines.push_back(line.substr(0, kMaxEntryLine));
    return lines;
}

// Each entry line of a client file as the loader reads it (comments skipped), with its number
// counted from 1, up to the line the loader stopped at or the first that does not parse.
template <class Each>
void forEachEntryLine(int fd, unsigned stopLine, Each&& each) {
    const std::vector<std::string> lines = fileLines(fd);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (stopLine != 0 && i + 1 >= stopLine) break;
        if (!lines[i].empty() && lines[i].front() == '#') continue;
        const EntryParts parts = splitRemark(lines[i]);
        const std::optional<ClientFields> fields = parseEntryData(parts.data, true);
        if (parts.data.empty() || !fields) break;
        each(static_cast<unsigned>(i + 1), *fields);
    }
}

// Dynamic lines the loader read but did not keep (outside their profile's pool, or an address
// an earlier line of the profile holds): each line that parses is matched, in order, against the records the
// loader linked.
void reportDroppedLeases(int fd, const ClientTable& table, unsigned stopLine, const std::string& file,
                         Findings& findings) {
    const ClientRecord* record = table.first(ClientList::Dynamic);
    forEachEntryLine(fd, stopLine, [&](unsigned line, const ClientFields& fields) {
        if (record != nullptr && record->identity->equals(fields.identity) && record->address == fields.address) {
            record = table.next(*record);
            return;
        }
        findings.add(FindingLevel::Warning, file, line,
                     "the lease lies outside its profile's pool, or repeats an address an earlier line of its "
                     "profile holds",
                     "the start drops it; it is gone from the file after the next save");
    });
}

// Static entries that repeat an address or a client of an earlier line: the loader keeps both,
// so two clients get one address, or the earlier entry never serves its client (the last entry
// of a client in a profile is the one chosen).
void reportRepeatedStatics(int fd, unsigned stopLine, const std::string& file, Findings& findings) {
    std::unordered_map<Ipv4, std::pair<unsigned, Identity>> addresses;
    std::unordered_map<std::string, unsigned> clients;  // identity and profile name, lower case
    forEachEntryLine(fd, stopLine, [&](unsigned line, const ClientFields& fields) {
        const Identity& id = fields.identity;
        std::string client{static_cast<char>(id.kind), static_cast<char>(id.length)};
        client.append(reinterpret_cast<const char*>(id.bytes.data()),
                      std::min<std::size_t>(id.length, id.bytes.size()));
        for (const char c : fields.profile) client += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        const auto [sameClient, newClient] = clients.try_emplace(client, line);
        if (!newClient) {
            const std::string earlier = std::to_string(sameClient->second);
            findings.add(FindingLevel::Warning, file, line,
                         "the client of line " + earlier + " again, in the same profile",
                         "the start serves it by this line: line " + earlier + " is never used");
            return;
        }
        if (fields.address == 0) return;
        const auto [sameAddress, newAddress] = addresses.try_emplace(fields.address, line, id);
        // One client may have its address in several profiles.
        if (!newAddress && !identityEquals(sameAddress->second.second, id))
            findings.add(FindingLevel::Warning, file, line,
                         dotted(fields.address) + " is given to the entry of line " +
                             std::to_string(sameAddress->second.first) + " as well",
                         "the start gives it to both clients");
    });
}

void checkClientFiles(const ConfigStore& store, const std::string& dataDirectory, const ProfileList& profiles,
                      const GeneralSettings& general, std::int64_t now, Findings& findings) {
    const ClientFiles paths = clientFilePaths(store, dataDirectory);
    LoaderLines loaderLines(findings);
    ClientTable table(loaderLines);
    for (const ClientList list : {ClientList::Static, ClientList::Dynamic, ClientList::Ignored}) {
        const std::string& path = paths.of(list).path;
        // O_NONBLOCK: a FIFO holds no open here; it, a device or a directory is reported, not read.
        platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            if (errno != ENOENT)
                findings.add(FindingLevel::Error, path, 0, std::string("cannot be read: ") + errorText(errno),
                             "the start serves none of its entries and keeps the file as " + path + ".unloaded");
            continue;
        }
        if (struct stat st{}; ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            findings.add(FindingLevel::Error, path, 0, "is not a regular file",
                         "the start neither reads nor replaces it, and serves none of its entries");
            continue;
        }
        // The loader reads the file through this descriptor: anything it would do beside the
        // file (keep a copy it cannot hold) fails inside /proc.
        ListFile file;
        file.path = "/proc/self/fd/" + std::to_string(fd.get());
        loaderLines.loading(path, file.path);
        loadList(table, list, profiles, file, general, loaderLines, now);
        if (list == ClientList::Dynamic) reportDroppedLeases(fd.get(), table, loaderLines.stopLine(), path, findings);
        if (list == ClientList::Static) reportRepeatedStatics(fd.get(), loaderLines.stopLine(), path, findings);
    }
}

const char* levelName(FindingLevel level) { return level == FindingLevel::Error ? "error" : "warning"; }

}  // namespace

std::vector<Finding> checkConfiguration(const CheckInput& input) {
    Findings findings;
    ConfigStore store(input.registryFile);
    std::string dataDirectory;
    if (input.configFile) {
        dataDirectory = directoryOf(*input.configFile);
        if (!store.setIniFile(*input.configFile)) {
            findings.add(FindingLevel::Error, *input.configFile, 0, "the path is too long", "the start cannot use it");
            return findings.all;
        }
    } else {
        dataDirectory = serverDataDirectory(store, input.programDirectory);
        store.setIniPath(dataDirectory, kGeneralSection);
    }
    if (!checkConfigurationFile(store.iniPath(), findings)) return findings.all;
    checkUnreadLines(store.iniPath(), findings);
    store.setFindings(&findings);
    DhcpSettings dhcp;
    TftpSettings tftp;
    checkServerSettings(store, dataDirectory, findings, dhcp, tftp);
    const ProfileList profiles = checkProfiles(store, dhcp.defaultOptions, tftp);
    checkClientFiles(store, dataDirectory, profiles, dhcp.general, input.now, findings);
    store.setFindings(nullptr);
    return findings.all;
}

namespace {

// A finding quotes what the files hold: a control character there (an escape sequence, a
// carriage return) would reach the terminal, and could clear or rewrite what the check printed.
std::string printable(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), entryLineChar);
    return text;
}

}  // namespace

int printFindings(const std::vector<Finding>& findings, std::FILE* out) {
    unsigned errors = 0;
    unsigned warnings = 0;
    for (const Finding& f : findings) {
        (f.level == FindingLevel::Error ? errors : warnings) += 1;
        std::string line = f.file;
        if (f.line != 0) line += ":" + std::to_string(f.line);
        line += std::string(": ") + levelName(f.level) + ": ";
        if (!f.section.empty()) line += "[" + f.section + "] ";
        if (!f.key.empty()) line += f.key + ": ";
        std::fprintf(out, "%s\n", printable(line + f.problem + "; " + f.startDoes).c_str());
    }
    std::fprintf(out, "%u error%s, %u warning%s\n", errors, errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
    return errors != 0 ? kCheckErrors : warnings != 0 ? kCheckWarnings : kCheckClean;
}

}  // namespace tolmark

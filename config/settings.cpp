#include "config/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>

#include "base/ipv4.h"
#include "common/text_forms.h"
#include "platform/paths.h"

namespace tolmark {

namespace {

// An integer key with the default that its reader and its writer share.
template <typename Block, typename Field>
struct IntKey {
    const char* name;
    Field Block::*field;
    std::int32_t defaultValue;
};

using GeneralInt = IntKey<GeneralSettings, std::int32_t>;
using GeneralU16 = IntKey<GeneralSettings, std::uint16_t>;
using TftpInt = IntKey<TftpSettings, std::int32_t>;
using MulticastInt = IntKey<MulticastSettings, std::int32_t>;
using MulticastU16 = IntKey<MulticastSettings, std::uint16_t>;

constexpr GeneralInt kLog{"Log", &GeneralSettings::log, 1};
constexpr GeneralInt kCreateLog{"CreateLog", &GeneralSettings::createLog, 0};
constexpr GeneralInt kUpdateEthers{"UpdateEthers", &GeneralSettings::updateEthers, 3};
constexpr GeneralU16 kPort{"Port", &GeneralSettings::port, 67};
constexpr GeneralInt kLookup{"Lookup", &GeneralSettings::lookup, 1};
constexpr GeneralInt kDetect{"Detect", &GeneralSettings::detect, 0};
constexpr GeneralInt kRegOnly{"RegOnly", &GeneralSettings::regOnly, 0};
constexpr GeneralInt kBootp{"BOOTP", &GeneralSettings::bootp, 1};
// The writer spells it "Bootp"; key names are compared without case.
constexpr GeneralInt kBootpWritten{"Bootp", &GeneralSettings::bootp, 1};
constexpr GeneralInt kDhcp{"DHCP", &GeneralSettings::dhcp, 1};
constexpr GeneralInt kEnableMac{"EnableMAC", &GeneralSettings::enableMac, 1};
constexpr GeneralInt kEnableId{"EnableID", &GeneralSettings::enableId, 0};
constexpr GeneralInt kEnableRa{"EnableRA", &GeneralSettings::enableRa, 0};
constexpr GeneralInt kRelayAgent{"RelayAgent", &GeneralSettings::relayAgent, 3};
constexpr GeneralInt kName2Uc{"Name2UC", &GeneralSettings::name2Uc, 0};
constexpr GeneralInt kUnicast{"Unicast", &GeneralSettings::unicast, 0};
constexpr GeneralInt kSoleServer{"SoleServer", &GeneralSettings::soleServer, 0};
constexpr GeneralInt kAutoConfigure{"AutoConfigure", &GeneralSettings::autoConfigure, 1};
constexpr GeneralInt kChangeIp{"ChangeIP", &GeneralSettings::changeIp, 0};
constexpr GeneralInt kTestIp{"TestIP", &GeneralSettings::testIp, 0};
constexpr GeneralInt kRelaySrc{"RelaySrc", &GeneralSettings::relaySrc, 0};
constexpr GeneralInt kMagicNumber{"MagicNumber", &GeneralSettings::magicNumber, 1};
constexpr GeneralU16 kIdWildcard{"IdWildcard", &GeneralSettings::idWildcard, 46};
constexpr GeneralInt kZeroTerminate{"ZeroTerminate", &GeneralSettings::zeroTerminate, 1};
constexpr GeneralInt kRelayLimit{"RelayLimit", &GeneralSettings::relayLimit, 1};
constexpr GeneralInt kAutoExclude{"AutoExclude", &GeneralSettings::autoExclude, 1};
constexpr GeneralInt kNetBc{"NetBC", &GeneralSettings::netBc, 0};
constexpr GeneralInt kProfiles{"Profiles", &GeneralSettings::profiles, 1};
constexpr GeneralInt kDelay{"Delay", &GeneralSettings::delay, 0};
constexpr GeneralInt kBackup{"Backup", &GeneralSettings::backup, 1};

constexpr TftpInt kTftpPort{"TFTPPort", &TftpSettings::port, 69};
constexpr TftpInt kTftpDataPort{"TFTPDataPort", &TftpSettings::dataPort, 0};
constexpr TftpInt kTftpClients{"TFTPClients", &TftpSettings::clients, 10};
constexpr TftpInt kTftpEnable{"TFTPEnable", &TftpSettings::enable, 0};
constexpr TftpInt kTftpMode{"TFTPMode", &TftpSettings::mode, 7};
constexpr TftpInt kTftpFlags{"TFTPFlags", &TftpSettings::flags, 0};
constexpr TftpInt kTftpMmf{"TFTPmmf", &TftpSettings::mmf, 1};
constexpr TftpInt kTftpMmfMax{"TFTPMMFmax", &TftpSettings::mmfMax, 0x2000000};
constexpr TftpInt kTftpUpload{"TFTPUpload", &TftpSettings::upload, 0};
constexpr TftpInt kTftpRootIpSpecific{"TFTPRootIPspecific", &TftpSettings::rootIpSpecific, 0};
constexpr TftpInt kTftpRootProfile{"TFTPRootProfile", &TftpSettings::rootProfile, 0};
constexpr TftpInt kTftpWindowSize{"TFTPWindowSize", &TftpSettings::windowSize, 0};
constexpr TftpInt kTftpLargeFiles{"TFTPLargeFiles", &TftpSettings::largeFiles, 1};
constexpr TftpInt kTftpTimeout{"TFTPTimeout", &TftpSettings::timeout, 1};
constexpr TftpInt kTftpRetransmit{"TFTPRetransmit", &TftpSettings::retransmit, 10};
constexpr TftpInt kTftpOptions{"TFTPOptions", &TftpSettings::options, 7};
constexpr TftpInt kTftpUnixStyle{"TFTPUnixStyle", &TftpSettings::unixStyle, 0};

constexpr MulticastInt kMulticast{"Multicast", &MulticastSettings::multicast, 0};
constexpr MulticastU16 kMulticastPort{"MulticastPort", &MulticastSettings::port, 1758};
constexpr MulticastU16 kMulticastLast{"MulticastLast", &MulticastSettings::last, 65535};
constexpr MulticastInt kMulticastTtl{"MulticastTTL", &MulticastSettings::ttl, 1};

constexpr const char* kMulticastIp = "MulticastIp";
const Ipv4 kDefaultMulticastIp = makeIpv4(224, 0, 0, 1);

// Buffer sizes of the text keys, terminating NUL included.
constexpr std::size_t kDefaultOptionsCapacity = 256;
constexpr std::size_t kMacRangeCapacity = 128;
constexpr std::size_t kDirectoryCapacity = 896;
// A user name (useradd allows 32 characters); longer text names nobody.
constexpr std::size_t kRunAsUserCapacity = 256;
constexpr std::size_t kLeaseDatabaseCapacity = 1024;
constexpr std::size_t kTftpPrefixCapacity = 768;
constexpr std::size_t kMulticastIpCapacity = 18;

constexpr std::size_t kMaxOptionCodes = 63;

template <typename Block, typename Field>
std::int32_t readKey(const ConfigStore& store, std::string_view section, const IntKey<Block, Field>& key,
                     Block& block) {
    const std::int32_t value = store.readInt(section, key.name, key.defaultValue);
    block.*key.field = static_cast<Field>(value);
    return value;
}

// A port is 16 bits where it is used, and a value beyond that is cut to its low 16 bits: a
// mistyped port would move the service without a word. Reported to the findings only.
void reportPort(const ConfigStore& store, std::string_view section, const char* key, std::int32_t value,
                const char* service) {
    if (store.findings() == nullptr || (value >= 1 && value <= 65535)) return;
    const auto cut = static_cast<std::uint16_t>(value);
    char does[128];
    if (cut == 0)
        std::snprintf(does, sizeof does, "the start takes its low 16 bits, 0: %s on a port the system picks", service);
    else
        std::snprintf(does, sizeof does, "the start takes its low 16 bits: %s on port %u", service, cut);
    store.report(FindingLevel::Warning, section, key, std::to_string(value) + " is not a port (1 to 65535)", does);
}

template <typename Block, typename Field>
void writeKey(KeyChanges& changes, std::string_view section, const IntKey<Block, Field>& key, const Block& block) {
    changes.integer(section, key.name, static_cast<std::int32_t>(block.*key.field), key.defaultValue);
}

// An empty text erases the key.
void writeTextKey(KeyChanges& changes, std::string_view section, const char* key, std::string_view text) {
    changes.text(section, key, text.empty() ? std::nullopt : std::optional<std::string_view>(text));
}

// The lowest byte of a "%d" number at the start of the piece, or nothing.
std::optional<std::uint8_t> lowestByteOfNumber(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t')) ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
    if (i == piece.size() || piece[i] < '0' || piece[i] > '9') return std::nullopt;
    unsigned byte = 0;
    for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) byte = (byte * 10 + (piece[i] - '0')) & 0xFF;
    if (negative) byte = (256 - byte) & 0xFF;
    return static_cast<std::uint8_t>(byte);
}

}  // namespace

std::size_t OptionCodeList::size() const {
    std::size_t n = 0;
    while (n < codes.size() && codes[n] != 0) ++n;
    return n;
}

OptionCodeList builtInDefaultOptions() {
    OptionCodeList list;
    constexpr std::uint8_t kCodes[] = {1, 2, 3, 4, 6, 42, 44, 46, 47, 12, 13, 15, 17, 66, 67};
    std::copy(std::begin(kCodes), std::end(kCodes), list.codes.begin());
    return list;
}

void parseOptionCodeList(std::string_view text, OptionCodeList& list) {
    if (text.empty()) return;
    OptionCodeList parsed;
    std::size_t count = 0;
    std::size_t start = 0;
    while (start <= text.size() && count < kMaxOptionCodes) {
        std::size_t end = text.find_first_of(kListSeparators, start);
        if (end == text.npos) end = text.size();
        // A 0 byte ends the list, so a code that comes out as 0 would hide every later code.
        if (const auto code = lowestByteOfNumber(text.substr(start, end - start)); code && *code != 0) {
            parsed.codes[count++] = *code;
        }
        start = end + 1;
    }
    list = parsed;
}

void readOptionCodeList(const ConfigStore& store, std::string_view section, std::string_view key, std::size_t capacity,
                        OptionCodeList& list) {
    const std::string text = store.readText(section, key, "", capacity);
    parseOptionCodeList(text, list);
    if (store.findings() == nullptr) return;
    std::size_t codes = 0;
    bool readsAsTyped = true;
    for (std::size_t start = 0; start <= text.size() && readsAsTyped;) {
        const std::size_t end = std::min(text.find_first_of(kListSeparators, start), text.size());
        const std::string_view piece = std::string_view(text).substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        const bool digits = piece.size() <= 3 && piece.find_first_not_of("0123456789") == std::string_view::npos;
        const int code = digits ? std::atoi(std::string(piece).c_str()) : 0;
        readsAsTyped = code >= 1 && code <= 255 && ++codes <= kMaxOptionCodes;
    }
    if (readsAsTyped) return;
    std::string read;
    for (std::size_t i = 0; i < list.size(); ++i) read += (i == 0 ? "" : ",") + std::to_string(list.codes[i]);
    store.report(FindingLevel::Warning, section, key,
                 "\"" + text + "\" is not a list of at most 63 option codes (1 to 255)",
                 "the start reads the list as \"" + read + "\"");
}

void readGeneralSettings(const ConfigStore& store, std::string_view section, std::string_view dataDirectory,
                         DhcpSettings& settings) {
    GeneralSettings& g = settings.general;
    for (const GeneralInt* key : {&kLog, &kCreateLog, &kUpdateEthers}) readKey(store, section, *key, g);
    reportPort(store, section, kPort.name, readKey(store, section, kPort, g), "DHCP");
    for (const GeneralInt* key :
         {&kLookup, &kDetect, &kRegOnly, &kBootp, &kDhcp, &kEnableMac, &kEnableId, &kEnableRa, &kRelayAgent, &kName2Uc,
          &kUnicast, &kSoleServer, &kAutoConfigure, &kChangeIp, &kTestIp, &kRelaySrc, &kMagicNumber}) {
        readKey(store, section, *key, g);
    }
    readKey(store, section, kIdWildcard, g);
    for (const GeneralInt* key :
         {&kZeroTerminate, &kRelayLimit, &kAutoExclude, &kNetBc, &kProfiles, &kDelay, &kBackup}) {
        readKey(store, section, *key, g);
    }

    readOptionCodeList(store, section, "DefaultOptions", kDefaultOptionsCapacity, settings.defaultOptions);
    g.macRange = MacRangeTable{};
    if (const std::string range = store.readText(section, "MacRange", "", kMacRangeCapacity); !range.empty()) {
        g.macRange = parseMacRange(range);
        // Characters the reader skips or numbers it cuts give ranges other than the ones meant.
        if (!macRangeReadsAsTyped(range))
            store.report(FindingLevel::Warning, section, "MacRange",
                         "\"" + range + "\" is not a list of hardware address prefixes (such as 00:0c:29,08:00)",
                         "the start reads it as \"" + formatMacRange(g.macRange).value_or("") + "\"");
    }
    settings.directory = store.readText(section, "Directory", dataDirectory, kDirectoryCapacity);
}

std::string readLeaseDatabase(const ConfigStore& store, std::string_view section) {
    return store.readText(section, "LeaseDatabase", "", kLeaseDatabaseCapacity);
}

std::string readRunAsUser(const ConfigStore& store, std::string_view section) {
    return store.readText(section, "RunAsUser", "", kRunAsUserCapacity);
}

std::string dataDirectoryFromRegistry(const ConfigStore& registry, std::string_view section,
                                      const std::string& programDirectory) {
    return platform::directoryWithSeparator(
        registry.readText(section, "Directory", programDirectory, kDirectoryCapacity));
}

void readTftpSettings(const ConfigStore& store, std::string_view section, std::string_view dataDirectory,
                      TftpSettings& tftp, MulticastSettings& multicast) {
    reportPort(store, section, kTftpPort.name, readKey(store, section, kTftpPort, tftp), "TFTP");
    if (readKey(store, section, kTftpDataPort, tftp) > 65535 && store.findings() != nullptr) {
        store.report(FindingLevel::Warning, section, kTftpDataPort.name,
                     std::to_string(tftp.dataPort) + " is beyond the last port (65535)",
                     "the start opens no data port: every TFTP transfer fails");
    }
    for (const TftpInt* key :
         {&kTftpClients, &kTftpEnable, &kTftpMode, &kTftpFlags, &kTftpMmf, &kTftpMmfMax, &kTftpUpload,
          &kTftpRootIpSpecific, &kTftpRootProfile, &kTftpWindowSize, &kTftpLargeFiles}) {
        readKey(store, section, *key, tftp);
    }
    tftp.prefix = store.readText(section, "TFTPPrefix", "", kTftpPrefixCapacity);
    tftp.directory = store.readText(section, "TFTPDirectory", dataDirectory, kDirectoryCapacity);
    for (const TftpInt* key : {&kTftpTimeout, &kTftpRetransmit, &kTftpOptions, &kTftpUnixStyle}) {
        readKey(store, section, *key, tftp);
    }

    readKey(store, section, kMulticast, multicast);
    multicast.address = kDefaultMulticastIp;
    const std::string multicastIp = store.readText(section, kMulticastIp, "", kMulticastIpCapacity);
    if (const ParsedIpv4 parsed = parseIpv4(multicastIp); parsed.ok) {
        multicast.address = parsed.address;
    } else if (!multicastIp.empty()) {
        store.report(FindingLevel::Warning, section, kMulticastIp, "\"" + multicastIp + "\" is not an IPv4 address",
                     "the start uses 224.0.0.1");
    }
    reportPort(store, section, kMulticastPort.name, readKey(store, section, kMulticastPort, multicast),
               "multicast TFTP");
    readKey(store, section, kMulticastLast, multicast);
    readKey(store, section, kMulticastTtl, multicast);
}

void addGeneralSettings(KeyChanges& changes, std::string_view section, const GeneralSettings& general) {
    for (const GeneralInt* key : {&kUpdateEthers, &kLog, &kCreateLog, &kLookup, &kDetect, &kRegOnly, &kBootpWritten,
                                  &kDhcp, &kEnableMac, &kName2Uc, &kEnableId, &kEnableRa, &kRelayAgent, &kSoleServer,
                                  &kUnicast, &kAutoConfigure, &kChangeIp, &kTestIp, &kRelaySrc}) {
        writeKey(changes, section, *key, general);
    }
    const std::optional<std::string> range = formatMacRange(general.macRange);
    writeTextKey(changes, section, "MacRange", range.value_or(""));
}

bool writeGeneralSettings(ConfigStore& store, std::string_view section, const GeneralSettings& general) {
    KeyChanges changes;
    addGeneralSettings(changes, section, general);
    return store.write(changes);
}

bool writeTftpSettings(ConfigStore& store, std::string_view section, const TftpSettings& tftp,
                       const MulticastSettings& multicast) {
    KeyChanges changes;
    for (const TftpInt* key : {&kTftpEnable, &kTftpPort, &kTftpMode}) writeKey(changes, section, *key, tftp);
    writeTextKey(changes, section, "TFTPDirectory", tftp.directory);
    for (const TftpInt* key : {&kTftpRootIpSpecific, &kTftpRootProfile}) writeKey(changes, section, *key, tftp);
    writeTextKey(changes, section, "TFTPPrefix", tftp.prefix);
    for (const TftpInt* key : {&kTftpDataPort, &kTftpClients, &kTftpWindowSize, &kTftpTimeout, &kTftpRetransmit,
                               &kTftpOptions, &kTftpUnixStyle, &kTftpMmf, &kTftpMmfMax}) {
        writeKey(changes, section, *key, tftp);
    }

    writeKey(changes, section, kMulticast, multicast);
    if (multicast.address == kDefaultMulticastIp) {
        changes.text(section, kMulticastIp, std::nullopt);
    } else {
        changes.text(section, kMulticastIp, std::string_view(formatIpv4(multicast.address).c_str()));
    }
    writeKey(changes, section, kMulticastPort, multicast);
    writeKey(changes, section, kMulticastTtl, multicast);
    return store.write(changes);
}

}  // namespace tolmark

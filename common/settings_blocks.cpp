#include "common/settings_blocks.h"

#include "base/byte_io.h"

namespace tolmark {

namespace {

// Server status record: the interface table is stored column by column, 32 entries each.
constexpr std::size_t kStatusIfIndex = 60;
constexpr std::size_t kStatusIfAddress = 188;
constexpr std::size_t kStatusIfMask = 316;
constexpr std::size_t kStatusIfSocket = 448;
constexpr std::size_t kStatusIfFlags = 704;

// TFTP settings block text fields and the tail the server does not interpret.
constexpr std::size_t kTftpPrefixAt = 68;
constexpr std::size_t kTftpPrefixWidth = 768;
constexpr std::size_t kTftpDirectoryAt = 836;
constexpr std::size_t kTftpDirectoryWidth = 896;
constexpr std::size_t kTftpReservedAt = 1732;

template <typename Block>
struct WordField {
    std::size_t offset;
    std::int32_t Block::*field;
};

// The i32 fields of each block at their offsets; encoder and decoder share these lists so the
// two directions cannot drift apart.
constexpr WordField<GeneralSettings> kGeneralWords[] = {
    {0, &GeneralSettings::log},
    {4, &GeneralSettings::createLog},
    // 8 and 10: the u16 fields "Port" and "IdWildcard"
    {12, &GeneralSettings::detect},
    {16, &GeneralSettings::pausedState},
    {20, &GeneralSettings::unicast},
    {24, &GeneralSettings::bootp},
    {28, &GeneralSettings::dhcp},
    {32, &GeneralSettings::zeroTerminate},
    {36, &GeneralSettings::autoExclude},
    {40, &GeneralSettings::changeIp},
    {44, &GeneralSettings::testIp},
    {48, &GeneralSettings::netBc},
    {52, &GeneralSettings::updateEthers},
    {56, &GeneralSettings::profiles},
    {60, &GeneralSettings::delay},
    {64, &GeneralSettings::backup},
    {68, &GeneralSettings::enableMac},
    {72, &GeneralSettings::enableId},
    {76, &GeneralSettings::enableRa},
    {80, &GeneralSettings::name2Uc},
    {84, &GeneralSettings::relayAgent},
    {88, &GeneralSettings::regOnly},
    {92, &GeneralSettings::lookup},
    {96, &GeneralSettings::autoConfigure},
    {100, &GeneralSettings::relaySrc},
    {104, &GeneralSettings::relayLimit},
    {108, &GeneralSettings::soleServer},
    {112, &GeneralSettings::magicNumber},
    {116, &GeneralSettings::selectionMode},
};
constexpr std::size_t kGeneralPortAt = 8;
constexpr std::size_t kGeneralIdWildcardAt = 10;
constexpr std::size_t kGeneralMacRangeAt = 120;
static_assert(kGeneralMacRangeAt + sizeof(MacRangeTable) == kGeneralSettingsSize);

constexpr WordField<ServerStatus> kStatusWords[] = {
    // 0: the u16 port in use, 2-3 padding
    {4, &ServerStatus::profileCount},    {8, &ServerStatus::staticCount},     {12, &ServerStatus::poolTotal},
    {16, &ServerStatus::staticUsed},     {20, &ServerStatus::dynamicUsed},    {24, &ServerStatus::ignoredUsed},
    {28, &ServerStatus::tftpTransfers},  {32, &ServerStatus::staticChanges},  {36, &ServerStatus::dynamicChanges},
    {40, &ServerStatus::ignoredChanges}, {44, &ServerStatus::serverStopping}, {48, &ServerStatus::statusChanged},
    {52, &ServerStatus::reloadRequest},  {56, &ServerStatus::interfaceCount},
};
constexpr std::size_t kStatusPortAt = 0;

constexpr WordField<TftpSettings> kTftpWords[] = {
    {0, &TftpSettings::port},
    {4, &TftpSettings::dataPort},
    {8, &TftpSettings::timeout},
    {12, &TftpSettings::retransmit},
    {16, &TftpSettings::clients},
    {20, &TftpSettings::options},
    {24, &TftpSettings::unixStyle},
    {28, &TftpSettings::mmf},
    {32, &TftpSettings::mmfMax},
    {36, &TftpSettings::upload},
    {40, &TftpSettings::rootIpSpecific},
    {44, &TftpSettings::rootProfile},
    {48, &TftpSettings::windowSize},
    {52, &TftpSettings::largeFiles},
    {56, &TftpSettings::enable},
    {60, &TftpSettings::mode},
    {64, &TftpSettings::flags},
};
static_assert(kTftpReservedAt + sizeof(TftpSettings::reserved) == kTftpSettingsSize);

template <typename Block, std::size_t N>
void writeWords(ByteWriter& w, const Block& block, const WordField<Block> (&fields)[N]) {
    for (const auto& f : fields) w.i32le(f.offset, block.*f.field);
}

template <typename Block, std::size_t N>
void readWords(ByteReader& r, Block& block, const WordField<Block> (&fields)[N]) {
    for (const auto& f : fields) block.*f.field = r.i32le(f.offset);
}

}  // namespace

std::array<std::uint8_t, kGeneralSettingsSize> encodeGeneralSettings(const GeneralSettings& settings) {
    std::array<std::uint8_t, kGeneralSettingsSize> block{};
    ByteWriter w(block);
    writeWords(w, settings, kGeneralWords);
    w.u16le(kGeneralPortAt, settings.port);
    w.u16le(kGeneralIdWildcardAt, settings.idWildcard);
    w.bytes(kGeneralMacRangeAt, settings.macRange.data(), settings.macRange.size());
    return block;
}

std::optional<GeneralSettings> decodeGeneralSettings(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kGeneralSettingsSize) return std::nullopt;
    ByteReader r(bytes);
    GeneralSettings settings;
    readWords(r, settings, kGeneralWords);
    settings.port = r.u16le(kGeneralPortAt);
    settings.idWildcard = r.u16le(kGeneralIdWildcardAt);
    r.bytes(kGeneralMacRangeAt, settings.macRange.data(), settings.macRange.size());
    if (!r.ok()) return std::nullopt;
    return settings;
}

std::array<std::uint8_t, kServerStatusSize> encodeServerStatus(const ServerStatus& status) {
    std::array<std::uint8_t, kServerStatusSize> block{};
    ByteWriter w(block);
    w.u16le(kStatusPortAt, status.port);
    writeWords(w, status, kStatusWords);
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        const InterfaceEntryImage& entry = status.interfaces[i];
        w.i32le(kStatusIfIndex + 4 * i, entry.ifIndex);
        w.ipv4(kStatusIfAddress + 4 * i, entry.address);
        w.ipv4(kStatusIfMask + 4 * i, entry.mask);
        w.u64le(kStatusIfSocket + 8 * i, entry.socket);
        w.i32le(kStatusIfFlags + 4 * i, entry.flags);
    }
    return block;
}

std::optional<ServerStatus> decodeServerStatus(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kServerStatusSize) return std::nullopt;
    ByteReader r(bytes);
    ServerStatus status;
    status.port = r.u16le(kStatusPortAt);
    readWords(r, status, kStatusWords);
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        InterfaceEntryImage& entry = status.interfaces[i];
        entry.ifIndex = r.i32le(kStatusIfIndex + 4 * i);
        entry.address = r.ipv4(kStatusIfAddress + 4 * i);
        entry.mask = r.ipv4(kStatusIfMask + 4 * i);
        entry.socket = r.u64le(kStatusIfSocket + 8 * i);
        entry.flags = r.i32le(kStatusIfFlags + 4 * i);
    }
    if (!r.ok()) return std::nullopt;
    return status;
}

std::array<std::uint8_t, kTftpSettingsSize> encodeTftpSettings(const TftpSettings& settings) {
    std::array<std::uint8_t, kTftpSettingsSize> block{};
    ByteWriter w(block);
    writeWords(w, settings, kTftpWords);
    w.text(kTftpPrefixAt, kTftpPrefixWidth, settings.prefix);
    w.text(kTftpDirectoryAt, kTftpDirectoryWidth, settings.directory);
    w.bytes(kTftpReservedAt, settings.reserved.data(), settings.reserved.size());
    return block;
}

std::optional<TftpSettings> decodeTftpSettings(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kTftpSettingsSize) return std::nullopt;
    ByteReader r(bytes);
    TftpSettings settings;
    readWords(r, settings, kTftpWords);
    settings.prefix = r.text(kTftpPrefixAt, kTftpPrefixWidth);
    settings.directory = r.text(kTftpDirectoryAt, kTftpDirectoryWidth);
    r.bytes(kTftpReservedAt, settings.reserved.data(), settings.reserved.size());
    if (!r.ok()) return std::nullopt;
    return settings;
}

std::array<std::uint8_t, kMulticastSettingsSize> encodeMulticastSettings(const MulticastSettings& settings) {
    std::array<std::uint8_t, kMulticastSettingsSize> block{};
    ByteWriter w(block);
    w.i32le(0, settings.multicast);
    w.ipv4(4, settings.address);
    w.u16le(8, settings.port);
    w.u16le(10, settings.last);
    w.i32le(12, settings.ttl);
    return block;
}

std::optional<MulticastSettings> decodeMulticastSettings(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kMulticastSettingsSize) return std::nullopt;
    ByteReader r(bytes);
    MulticastSettings settings;
    settings.multicast = r.i32le(0);
    settings.address = r.ipv4(4);
    settings.port = r.u16le(8);
    settings.last = r.u16le(10);
    settings.ttl = r.i32le(12);
    if (!r.ok()) return std::nullopt;
    return settings;
}

}  // namespace tolmark

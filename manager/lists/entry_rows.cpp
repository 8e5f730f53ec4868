#include "manager/lists/entry_rows.h"

#include <cstring>

#include "manager/pipe/server_text.h"

namespace tolmark::manager {

QString identityText(const Identity& identity, const RowOptions& options) {
    return QString::fromLatin1(formatIdentity(identity, options.dash, options.textForm).c_str());
}

namespace {

constexpr const char* kStandardProfile = "Standard";
constexpr std::int64_t kNoEnd = kExpiryReserved;

// The profile "Standard" is the default one and shows as an empty cell.
QString profileText(const std::string& profile) {
    return profile == kStandardProfile ? QString() : shownServerText(profile);
}

QString addressText(Ipv4 address) { return QString::fromLatin1(formatIpv4(address).c_str()); }

int compareTexts(const std::string& a, const std::string& b) {
    // Byte by byte, unsigned, as the record fields are stored.
    return std::strcmp(a.c_str(), b.c_str());
}

template <typename T>
int compareNumbers(T a, T b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace

QString timeText(std::int64_t seconds) {
    if (seconds == 0) return {};
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) return {};
    char buffer[96];
    // The locale's own date form, as the desktop shows dates; a two-digit year is its choice.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%x  %H:%M:%S", &local);
#pragma GCC diagnostic pop
    return QString::fromLocal8Bit(buffer, static_cast<qsizetype>(n));
}

bool isReservedRecord(const ClientFields& f) {
    if (f.expiry != kNoEnd || f.identity.kind != kIdentityHardware) return false;
    for (int i = 2; i < 6; ++i) {
        if (f.identity.bytes[i] != 0) return false;
    }
    return true;
}

std::optional<EntryRow> staticRow(const ClientRecordImage& record, const RowOptions& options) {
    const ClientFields& f = record.fields;
    if (f.identity.kind == kIdentityFree) return std::nullopt;
    if (options.hideNoAddress && f.address == 0) return std::nullopt;
    EntryRow row{record.handle, f.lastAccess != 0 ? kIconActive : kIconIdle, {}, f.identity};
    row.texts[0] = identityText(f.identity, options);
    row.texts[1] = profileText(f.profile);
    row.texts[2] = options.resolveNames && !f.hostName.empty() ? shownServerText(f.hostName) : addressText(f.address);
    row.texts[3] = timeText(f.lastAccess);
    if (options.remarks) row.texts[4] = shownServerText(f.remark);
    return row;
}

std::optional<EntryRow> dynamicRow(const ClientRecordImage& record, const RowOptions& options) {
    const ClientFields& f = record.fields;
    const std::int64_t cutOff =
        options.viewOld != 0 && options.viewOld < options.now ? options.now - options.viewOld : 0;
    if (f.expiry <= cutOff) return std::nullopt;
    const bool reserved = isReservedRecord(f);
    if (reserved && !options.showReserved) return std::nullopt;
    EntryRow row{record.handle,
                 reserved                 ? kIconIdle
                 : f.expiry > options.now ? kIconActive
                                          : kIconEnded,
                 {},
                 f.identity};
    row.texts[0] = identityText(f.identity, options);
    row.texts[1] = f.remark.empty() ? profileText(f.profile) : shownServerText(f.remark);
    row.texts[2] = addressText(f.address);
    row.texts[3] = reserved || f.expiry == kNoEnd ? QString() : timeText(f.expiry);
    row.texts[4] = shownServerText(f.hostName);
    return row;
}

std::optional<EntryRow> ignoredRow(const ClientRecordImage& record, const RowOptions& options) {
    const ClientFields& f = record.fields;
    if (f.identity.kind == kIdentityFree) return std::nullopt;
    EntryRow row{record.handle, f.lastAccess != 0 ? kIconEnded : kIconIdle, {}, f.identity};
    row.texts[0] = identityText(f.identity, options);
    row.texts[1] = shownServerText(f.remark);
    row.texts[2] = f.address != 0 ? addressText(f.address) : QString();
    row.texts[3] = timeText(f.lastAccess);
    row.texts[4] = shownServerText(f.hostName);
    return row;
}

EntryRow transferRow(std::int32_t index, const TransferSummary& t, const RowOptions& options) {
    static constexpr const char* kModes[] = {"", "mail ", "ascii", "octet"};
    const std::uint32_t size = t.fileSize;
    std::uint64_t moved = std::uint64_t{t.blockCounter} * t.blockSize;
    if (size != 0 && moved > size) moved = size;
    EntryRow row{static_cast<std::uint64_t>(index), kIconIdle, {}};
    if (t.outcome >= 1) {
        row.icon = kIconEnded;
    } else if (size != 0) {
        // A whole file reaches step 15, the completed icon.
        row.icon = static_cast<int>(moved * kIconProgressSteps / size);
    } else {
        row.icon = t.outcome == 0 ? kIconActive : kIconIdle;
    }
    if (options.percent && size != 0) {
        row.texts[0] = QStringLiteral("%1 %").arg(moved * 100 / size);
    } else {
        row.texts[0] = QStringLiteral("%1 b").arg(moved);
    }
    const int mode = t.mode >= 0 && t.mode <= 3 ? t.mode : 0;
    row.texts[1] =
        QString::fromLatin1(t.opcode == kTransferWrite ? "Put/" : "Get/") + QString::fromLatin1(kModes[mode]);
    row.texts[2] = addressText(t.client);
    const std::size_t skip = options.tftpRootLength <= t.path.size() ? options.tftpRootLength : t.path.size();
    row.texts[3] = shownServerText(std::string_view(t.path).substr(skip));
    return row;
}

int compareEntries(View view, int column, const ClientFields& a, const ClientFields& b) {
    switch (column) {
        case 0: {
            if (a.identity.length != b.identity.length) return compareNumbers(a.identity.length, b.identity.length);
            return std::memcmp(a.identity.bytes.data(), b.identity.bytes.data(), a.identity.bytes.size());
        }
        case 1:
            return view == View::Ignored ? compareTexts(a.remark, b.remark) : compareTexts(a.profile, b.profile);
        case 2:
            return compareNumbers(ipv4ToHostOrder(a.address), ipv4ToHostOrder(b.address));
        case 3:
            return view == View::Dynamic ? compareNumbers(a.expiry, b.expiry)
                                         : compareNumbers(a.lastAccess, b.lastAccess);
        case 4:
            return view == View::Static ? compareTexts(a.remark, b.remark) : compareTexts(a.hostName, b.hostName);
    }
    return 0;
}

}  // namespace tolmark::manager

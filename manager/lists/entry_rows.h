#pragma once
// What one row of each view shows: the icon and the five column texts of a client record or a
// TFTP transfer, and how two records compare when a column is sorted. Pure functions, so the
// pipe worker can build whole lists and tests can check every rule.

#include <QString>

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>

#include "common/client_record.h"
#include "common/transfer_record.h"

namespace tolmark::manager {

enum class View { Static = 0, Dynamic = 1, Ignored = 2, Tftp = 3 };
inline constexpr int kViewCount = 4;
inline constexpr int kColumnCount = 5;

// Icons of the one image list: 0..14 progress steps, then these three.
inline constexpr int kIconProgressSteps = 15;
inline constexpr int kIconActive = 15;
inline constexpr int kIconEnded = 16;
inline constexpr int kIconIdle = 17;
inline constexpr int kIconCount = 18;

struct EntryRow {
    std::uint64_t handle = 0;  // the server's record handle; the index for TFTP rows
    int icon = kIconIdle;
    std::array<QString, kColumnCount> texts;
    // The client's key: the row is found by it again when the server has restarted and given
    // its records new handles. Empty for TFTP rows.
    Identity identity{};
    bool operator==(const EntryRow&) const = default;
};

// The display choices that shape the rows.
struct RowOptions {
    bool dash = false;           // "ShowDash"
    bool textForm = false;       // "ShowString"
    bool remarks = false;        // "Remarks"
    bool resolveNames = false;   // bit 1 of the server's "Lookup"
    bool hideNoAddress = false;  // "ViewIP"
    bool showReserved = false;   // "Excluded"
    std::int64_t viewOld = 0;    // "ViewOld", seconds
    bool percent = true;         // "Percent"
    std::size_t tftpRootLength = 0;
    std::int64_t now = 0;
};

// The identifier as the first column of a client view shows it.
QString identityText(const Identity& identity, const RowOptions& options);

// Local time as "%x  %H:%M:%S"; empty for 0.
QString timeText(std::int64_t seconds);

// Nothing when the view does not show the record.
std::optional<EntryRow> staticRow(const ClientRecordImage& record, const RowOptions& options);
std::optional<EntryRow> dynamicRow(const ClientRecordImage& record, const RowOptions& options);
std::optional<EntryRow> ignoredRow(const ClientRecordImage& record, const RowOptions& options);
EntryRow transferRow(std::int32_t index, const TransferSummary& transfer, const RowOptions& options);

// A reserved address record of the dynamic list: no end, a hardware identity that is zero.
bool isReservedRecord(const ClientFields& fields);

// Comparison of two records for a click on column 0..4 of a client view: negative, 0, positive.
int compareEntries(View view, int column, const ClientFields& a, const ClientFields& b);

}  // namespace tolmark::manager

#include "manager/lists/list_jobs.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "common/transfer_image.h"

namespace tolmark::manager {
namespace {

// No list is longer than the server's record heap; a cycle in the handles must still end.
constexpr std::size_t kMaxListWalk = 1u << 20;
constexpr std::int32_t kMaxTransfers = 1u << 16;
constexpr int kMaxListRestarts = 3;

// What names a transfer for as long as it lives: its request, client, client port and file, which
// stay as they are while its counters and outcome move on.
std::string transferIdentity(const std::string& image) {
    const std::optional<TransferImage> t =
        decodeTransferImage(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
    if (!t) return image;
    return std::to_string(t->opcode) + ' ' + std::to_string(t->client) + ' ' + std::to_string(t->clientPort) + ' ' +
           t->path;
}

}  // namespace

ListSnapshot readClientList(ManagerPipe& pipe, ClientList list, View view, RowBuilder build,
                            const RowOptions& options) {
    ListSnapshot snapshot;
    // A handle that names a record removed since the record before it was read gets the answer
    // the end of the list gets. The walk then starts again from the head and leaves out the
    // records it has already passed, so that a list changed meanwhile is not shown cut short; a
    // list that keeps changing is given up after a few new starts, as the worker must not be
    // held, and the next refresh reads it again.
    // A handle met twice in one pass is a list in a circle, which the server's handles (each
    // record's life its own) never make while the list is sound: it ends the pass as a removed
    // record does, so that a broken list costs a few passes and not a million requests.
    std::unordered_set<std::uint64_t> passed, thisPass;
    int restarts = 0;
    std::uint64_t handle = 0;
    // Until the walk reaches the end of the list (or the head's empty answer), what it read is
    // only part of the list.
    snapshot.incomplete = true;
    for (std::size_t n = 0; n < kMaxListWalk; ++n) {
        const PipeResult<ListedEntry> entry = pipe.listEntry(list, handle);
        if (!entry.ok()) {
            snapshot.firstFailed = n == 0;
            // No server: the status request would only wait out the time-out again.
            if (entry.failed()) {
                snapshot.incomplete = n != 0;
                return snapshot;
            }
            if (handle != 0 && entry.value.nothingThere && ++restarts <= kMaxListRestarts) {
                handle = 0;
                thisPass.clear();
                continue;
            }
            // The head's empty answer is an empty list; a refusal (or a list still changing after
            // the new starts) cuts it.
            snapshot.incomplete = handle != 0 || !entry.value.nothingThere;
            break;
        }
        const ClientRecordImage& record = entry.value.record;
        if (list != ClientList::Dynamic && record.fields.identity.kind == kIdentityFree) {
            snapshot.incomplete = false;
            break;
        }
        // Handle 0 asks for the head: a row by it would be modified or removed as another entry.
        if (record.handle != 0 && passed.insert(record.handle).second) {
            if (std::optional<EntryRow> row = build(record, options)) snapshot.rows.push_back(std::move(*row));
        }
        thisPass.insert(record.handle);
        handle = record.nextHandle;
        if (handle == 0) {
            snapshot.incomplete = false;
            break;
        }
        if (thisPass.count(handle) != 0) {
            if (++restarts > kMaxListRestarts) break;
            handle = 0;
            thisPass.clear();
        }
    }
    snapshot.status = pipe.getStatus(static_cast<std::int32_t>(view));
    return snapshot;
}

ListSnapshot readTransfers(ManagerPipe& pipe, const RowOptions& options) {
    ListSnapshot snapshot;
    snapshot.incomplete = true;
    // The transfers each walk met, in order: two walks alike show the list as it stands.
    std::vector<std::string> before;
    for (int pass = 0; pass <= kMaxListRestarts + 1; ++pass) {
        snapshot.rows.clear();
        // A server that answers every index with the same record (it ignores the index) would
        // otherwise be asked for all of them, holding the worker: a record met again ends the
        // walk, as a handle met again ends a client list's pass.
        std::unordered_set<std::string> seen;
        std::vector<std::string> met;
        bool atEnd = false;
        for (std::int32_t index = 0; index < kMaxTransfers; ++index) {
            PipeResult<TransferEntry> entry = pipe.getTransfer(index);
            if (!entry.ok()) {
                // No server: the status request would wait in vain.
                if (entry.failed()) {
                    snapshot.firstFailed = pass == 0 && index == 0;
                    snapshot.incomplete = !snapshot.firstFailed;
                    return snapshot;
                }
                atEnd = entry.value.nothingThere;
                break;
            }
            if (!seen.insert(entry.value.image).second) {
                atEnd = true;
                break;
            }
            met.push_back(transferIdentity(entry.value.image));
            snapshot.activeTransfers = entry.value.active;
            snapshot.rows.push_back(transferRow(index, entry.value.transfer, options));
        }
        if (!atEnd) break;  // refused partway
        // An empty list passed over nothing.
        if (met.empty() || (pass > 0 && met == before)) {
            snapshot.incomplete = false;
            break;
        }
        before = std::move(met);
    }
    snapshot.status = pipe.getStatus(static_cast<std::int32_t>(View::Tftp));
    return snapshot;
}

std::vector<std::uint64_t> sortHandles(ManagerPipe& pipe, ClientList list, View view, int column, bool descending,
                                       std::vector<std::uint64_t> handles) {
    std::unordered_map<std::uint64_t, std::optional<ClientFields>> fetched;
    for (std::uint64_t h : handles) {
        if (fetched.count(h) != 0 || h == 0) continue;
        const PipeResult<ListedEntry> entry = pipe.listEntry(list, h);
        // No server: each further request would wait out the time-out, and everything posted to
        // the worker (the dialogs among it) with it. The rows stay as they are.
        if (entry.failed()) return handles;
        fetched[h] = entry.ok() ? std::optional<ClientFields>(entry.value.record.fields) : std::nullopt;
    }
    auto fieldsOf = [&](std::uint64_t h) -> const std::optional<ClientFields>& {
        static const std::optional<ClientFields> kNone;
        auto it = fetched.find(h);
        return it == fetched.end() ? kNone : it->second;
    };
    // Records that could not be fetched keep their order behind the others, so the comparison
    // stays a strict ordering.
    const auto unknown =
        std::stable_partition(handles.begin(), handles.end(), [&](std::uint64_t h) { return fieldsOf(h).has_value(); });
    std::stable_sort(handles.begin(), unknown, [&](std::uint64_t a, std::uint64_t b) {
        const int c = compareEntries(view, column, *fieldsOf(a), *fieldsOf(b));
        return descending ? c > 0 : c < 0;
    });
    return handles;
}

}  // namespace tolmark::manager

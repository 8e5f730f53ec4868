#include "manager/lists/list_jobs.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tolmark::manager {
namespace {

// No list is longer than the server's record heap; a cycle in the handles must still end.
constexpr std::size_t kMaxListWalk = 1u << 20;
constexpr std::int32_t kMaxTransfers = 1u << 16;
constexpr int kMaxListRestarts = 3;

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
    for (std::size_t n = 0; n < kMaxListWalk; ++n) {
        const PipeResult<ListedEntry> entry = pipe.listEntry(list, handle);
        if (!entry.ok()) {
            snapshot.firstFailed = n == 0;
            // No server: the status request would only wait out the time-out again.
            if (entry.failed()) return snapshot;
            if (handle != 0 && entry.value.nothingThere && ++restarts <= kMaxListRestarts) {
                handle = 0;
                thisPass.clear();
                continue;
            }
            break;
        }
        const ClientRecordImage& record = entry.value.record;
        if (list != ClientList::Dynamic && record.fields.identity.kind == kIdentityFree) break;
        // Handle 0 asks for the head: a row by it would be modified or removed as another entry.
        if (record.handle != 0 && passed.insert(record.handle).second) {
            if (std::optional<EntryRow> row = build(record, options)) snapshot.rows.push_back(std::move(*row));
        }
        thisPass.insert(record.handle);
        handle = record.nextHandle;
        if (handle == 0) break;
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
    // A server that answers every index with the same record (it ignores the index) would
    // otherwise be asked for all of them, holding the worker: a record met again ends the walk,
    // as a handle met again ends a client list's pass.
    std::unordered_set<std::string> seen;
    for (std::int32_t index = 0; index < kMaxTransfers; ++index) {
        PipeResult<TransferEntry> entry = pipe.getTransfer(index);
        if (!entry.ok()) {
            snapshot.firstFailed = index == 0;
            if (entry.failed()) return snapshot;  // no server: the status request would wait in vain
            break;
        }
        if (!seen.insert(std::move(entry.value.image)).second) break;
        snapshot.activeTransfers = entry.value.active;
        snapshot.rows.push_back(transferRow(index, entry.value.transfer, options));
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

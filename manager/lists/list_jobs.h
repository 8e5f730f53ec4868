#pragma once
// The pipe work behind the lists, run on the pipe worker: reading a whole view from the server
// and sorting its rows by asking the server for the records being compared.

#include <cstdint>
#include <vector>

#include "manager/lists/entry_rows.h"
#include "manager/lists/list_models.h"
#include "manager/pipe/manager_pipe.h"

namespace tolmark::manager {

struct ListSnapshot {
    bool firstFailed = false;  // the list could not be read at all: the view empties
    // The server stopped giving the list partway (a refusal, a broken pipe, a list that kept
    // changing under the walk): the rows are only part of it, and the window says so.
    bool incomplete = false;
    std::vector<EntryRow> rows;
    std::int32_t activeTransfers = 0;  // TFTP view: the count the server gave with the transfers
    PipeResult<ServerStatus> status;   // GetStatus with the view's number, after the list (Failed
                                       // without asking when the list failed at the pipe)
};

// Walks the list by record handle: from handle 0, each next request names the next handle of the
// record before; ends at handle 0, a failed request, or (Static, Ignored) a free record. A next
// record removed meanwhile, or a next handle already passed (a list in a circle), starts the walk
// again from the head (a few times at most), without the records already read. A record with
// handle 0 gives no row: that handle names the head. A walk that ends otherwise than at the end
// of the list is incomplete.
ListSnapshot readClientList(ManagerPipe& pipe, ClientList list, View view, RowBuilder build, const RowOptions& options);
// Transfers by index 0, 1, ... until the server has no transfer at the index, a request fails or
// a record comes again. The listener takes ended transfers out of its list, which moves every later
// one an index down: a walk during which that happened may have passed over a running transfer.
// The list is walked until two walks in a row meet the same transfers (a few times at most, then
// it is incomplete); the rows are those of the last walk.
ListSnapshot readTransfers(ManagerPipe& pipe, const RowOptions& options);

// The handles in the order of the column, descending when asked. Each record is fetched from the
// server once for the sort; records that cannot be fetched follow the others in their old order.
// A server that cannot be reached leaves the order as it was.
std::vector<std::uint64_t> sortHandles(ManagerPipe& pipe, ClientList list, View view, int column, bool descending,
                                       std::vector<std::uint64_t> handles);

}  // namespace tolmark::manager

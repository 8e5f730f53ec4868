#pragma once
// The manager's side of the control pipe: one lazily opened connection, one transaction per
// request, and a wrapper per request the manager sends. Every call blocks until the server has
// answered or the time-out has passed, so the manager runs them on its pipe worker thread.
//
// Results follow one rule: Failed (-1) when the pipe could not be opened or the transaction
// broke (the connection is closed and the next call opens it again), Refused (0) when the
// server answered with a non-zero status or too short a reply, Done otherwise.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/client_record.h"
#include "common/pipe_protocol.h"
#include "common/pipe_requests.h"
#include "common/settings_blocks.h"
#include "common/transfer_record.h"
#include "config/profiles.h"

namespace tolmark::manager {

enum class PipeStatus { Failed = -1, Refused = 0, Done = 1 };

template <typename T>
struct PipeResult {
    PipeStatus status = PipeStatus::Failed;
    T value{};
    bool ok() const { return status == PipeStatus::Done; }
    bool failed() const { return status == PipeStatus::Failed; }
};

// The three client lists, numbered as RemoveClient and GetStatus number them.
enum class ClientList { Static = 0, Dynamic = 1, Ignored = 2 };

struct ListedEntry {
    std::int32_t count = 0;  // the list's counter
    ClientRecordImage record;
    // Refused with the server's status alone: nothing at that handle, which is the end of the
    // list, or a record removed since its handle was read.
    bool nothingThere = false;
};

struct TransferEntry {
    std::int32_t active = 0;  // running transfers, -1 while the TFTP server is off
    TransferSummary transfer;
    // The record's bytes as the server sent them. Running transfers differ in their data ports,
    // ended ones in their end times, counts or clients, so the same bytes at another index are a
    // record sent again (at worst, one of two ended transfers alike to the second is not shown).
    std::string image;
    // Refused with the server's status alone: no transfer at that index, the end of the list.
    bool nothingThere = false;
};

struct ProfileEntry {
    std::int32_t use = 0;  // 0 unknown, 1 exists, 2 exists and a static entry names it
    Profile profile;
};

struct FoundFile {
    std::uint64_t search = 0;
    FileSearchEntry entry;
};

inline constexpr std::chrono::milliseconds kPipeTimeout{2000};

class ManagerPipe {
public:
    // name: the abstract socket name; empty means pipeName() ($TOLMARK_PIPE or the default).
    explicit ManagerPipe(std::string name = {}, std::chrono::milliseconds timeout = kPipeTimeout);

    // One transaction: Failed, Refused, or Done with the reply.
    PipeResult<PipeMessage> transact(const PipeMessage& request);

    PipeResult<GeneralSettings> getSettings();
    PipeStatus setSettings(const GeneralSettings& settings);
    // list: 0..2 recounts that list's counters first, -1 recounts nothing. The server tells a
    // connection of each change once, whichever request asks; its statusChanged holds every
    // change told on this pipe since the last takeStatusChanges, so that a dialog's or a list
    // refresh's status request does not take a change from the window's poll.
    PipeResult<ServerStatus> getStatus(std::int32_t list);
    // The poll has seen the changes: later status requests tell only newer ones.
    void takeStatusChanges() { changesHeld_ = 0; }
    PipeStatus setInterfaces(const ServerStatus& status);
    PipeResult<TftpSettings> getTftpSettings();
    PipeStatus setTftpSettings(const TftpSettings& settings);
    PipeResult<MulticastSettings> getMulticast();
    PipeStatus setMulticast(const MulticastSettings& settings);

    // value: the server's result (positive = added / changed).
    PipeResult<std::int32_t> addClient(const ClientFields& fields, bool redundant);
    PipeResult<std::int32_t> updateClient(std::uint64_t handle, const ClientFields& fields, bool redundant);
    PipeStatus removeClient(ClientList list, std::uint64_t handle);
    // handle 0: the head of the list. Refused also when the list is empty or the image is bad.
    PipeResult<ListedEntry> listEntry(ClientList list, std::uint64_t handle);
    PipeResult<TransferEntry> getTransfer(std::int32_t index);

    // Where the server keeps its leases; Refused by a server that does not know the request.
    PipeResult<LeaseStoreReply> getLeaseStore();

    PipeResult<std::int32_t> reloadProfiles();  // number of profiles
    PipeResult<std::int32_t> purgeDynamic();    // total pool addresses
    PipeResult<ProfileEntry> getProfile(std::int32_t index);
    PipeResult<ProfileEntry> getProfileByName(const std::string& name);
    // value above 0 = done; a failed transaction gives -2.
    std::int32_t renameProfile(std::int32_t index, const std::string& oldName, const std::string& newName);
    PipeResult<bool> checkAddressProfile(Ipv4 address);
    PipeResult<bool> checkProfileSelector(const CheckSelectorRequest& request);

    // Searches and files below the server's log directory. fileFindFirst is Refused when
    // nothing matches; fileFindNext and fileReadLine give nothing at the end.
    PipeResult<FoundFile> fileFindFirst(const std::string& pattern);
    PipeResult<std::optional<FileSearchEntry>> fileFindNext(std::uint64_t search);
    PipeStatus fileFindClose(std::uint64_t search);
    PipeResult<std::uint64_t> fileOpen(const std::string& name);  // 0 = the open failed
    PipeResult<std::optional<std::string>> fileReadLine(std::uint64_t file);
    PipeStatus fileClose(std::uint64_t file);

    // No key deletes the section, no value deletes the key. value: the server's result.
    PipeResult<std::int32_t> writeSetting(const std::string& section, const std::optional<std::string>& key,
                                          const std::optional<std::string>& value);

    // One job of the pipe worker runs between beginJob and endJob. Within it, once a transaction
    // failed, the further requests fail at once: a server that stopped answering holds the job
    // for one time-out, not for one per request still to come, and the dialog waiting for the
    // job with it. Outside a job every request tries the pipe.
    void beginJob() {
        inJob_ = true;
        jobFailed_ = false;
    }
    void endJob() { inJob_ = jobFailed_ = false; }

    // After a failed connection: the uid of another user's process holding the socket's name.
    std::optional<unsigned> untrustedServerUid() const { return client_.untrustedServerUid(); }

private:
    template <typename Block, std::size_t Size>
    PipeResult<Block> getBlock(PipeCode code, std::int32_t value,
                               std::optional<Block> (*decode)(std::span<const std::uint8_t>));
    PipeStatus setBlock(PipeCode code, std::span<const std::uint8_t> block);
    PipeResult<PipeMessage> transact(const std::optional<PipeMessage>& request);
    PipeResult<std::int32_t> valueOf(const std::optional<PipeMessage>& request);
    PipeResult<ProfileEntry> profileReply(const PipeMessage& request);

    PipeClient client_;
    std::int32_t changesHeld_ = 0;  // statusChanged bits told since takeStatusChanges
    bool inJob_ = false;
    bool jobFailed_ = false;  // a transaction of the present job failed
};

}  // namespace tolmark::manager

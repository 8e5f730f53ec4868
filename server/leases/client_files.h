#pragma once
// The three client files: the ethers file (static list), the dynamic file (leases) and the
// ignored file, one entry line per record. Loaded once at start; a list whose unsaved-change
// count is not 0 is written back through "<file>.tmp", which replaces the file only once it is
// complete and on disk, the previous file becoming "<file>.bak" when "Backup" is set. A file
// linked into the data directory from elsewhere is replaced where it lives (see
// platform::linkTarget), so the link stays.
//
// Lines a load stops at (an empty line, an identity that does not parse, no memory left) and
// every line after them are kept as read and written again after the records by every save,
// so a hand-edited file never loses what the server could not read; the next load stops at the
// same place again.

#include <cstdint>
#include <string>
#include <string_view>
#include "base/annotated_mutex.h"

#include "common/entry_line.h"
#include "common/log_sink.h"
#include "common/settings_blocks.h"
#include "config/config_store.h"
#include "config/profiles.h"
#include "server/leases/client_rules.h"
#include "server/leases/client_table.h"

namespace tolmark {

// A hidden tail larger than this is not held in memory: the file is hard-linked to
// "<file>.unloaded" instead, before any save can replace it.
inline constexpr std::size_t kMaxKeptTail = 16u << 20;

struct ListFile {
    std::string path;
    // The file's lines from the one loading stopped at to the end, byte for byte; empty when
    // the whole file was read (or all that was left were blank lines).
    std::string keptTail;
    // Set when the unread part could neither be held nor kept by a link: saving would destroy
    // it, so the file is not replaced (each attempt logs a failure).
    bool replaceRefused = false;
    // While the periodic save keeps failing: why it failed last ("step: error") and how often.
    // Only a new reason is logged again, and the save that succeeds afterwards.
    std::string failing{};
    std::uint32_t failedAttempts = 0;
    std::string backupFailing{};  // why the last save could not keep a backup; empty: it could
};

struct ClientFiles {
    ListFile ethers;
    ListFile dynamic;
    ListFile ignored;

    // Static, Dynamic or Ignored; anything else gives the ignored file.
    ListFile& of(ClientList list);
    const ListFile& of(ClientList list) const;
};

// "Ethers", "Dynamic" and "Ignored" of the general section, defaulting to the data directory
// (which ends with '/') followed by "ethers", "dynamic" and "ignored".
ClientFiles clientFilePaths(const ConfigStore& store, std::string_view dataDirectory);

struct LoadCounts {
    std::uint32_t staticTotal = 0;
    std::uint32_t staticSeen = 0;     // static records with a last access
    std::uint32_t dynamicActive = 0;  // dynamic records whose expiry lies after `now`
    std::uint32_t ignored = 0;        // always 0: the ignored list's count is not kept at load
};

// Loads ethers, dynamic and ignored files in this order (missing files leave their list as it
// is), reserves the static addresses in the pools after the dynamic file when "AutoExclude" is
// set (ending is told of each lease a reservation ends), and logs the "loading", "configured
// entries" and "responding only to known addresses" lines. Fills each ListFile's keptTail. Runs
// before anything else uses the table.
LoadCounts loadClientFiles(ClientTable& table, const ProfileList& profiles, ClientFiles& files,
                           const GeneralSettings& settings, LogSink& log, std::int64_t now,
                           const LeaseEnding& ending = {});

// Loads one file into its list (Static, Dynamic or Ignored), appending in file order. Returns
// the static seen count, the dynamic active count, or 0 for the ignored list; staticTotal, when
// given, grows by the number of static records loaded.
std::uint32_t loadList(ClientTable& table, ClientList list, const ProfileList& profiles, ListFile& file,
                       const GeneralSettings& settings, LogSink& log, std::int64_t now,
                       std::uint32_t* staticTotal = nullptr);

// Saves each list whose unsaved-change count is not 0. The count is taken (reset to 0) first
// and given back when the save fails, so a failed list is tried again at the next period.
// fieldsLock, when given, is the lock that guards the table (the engine lock); it is held only
// while records are turned into lines, a run of them at a time, never during file I/O. Records
// linked or unlinked during a save may be missing from it or still in it; their changes stay
// counted for the next save. A list that keeps failing logs its "failed to save" line once,
// again only when the reason changes, and "saved ... again" once it succeeds. Returns false
// when any list failed.
bool saveChangedLists(ClientTable& table, ClientFiles& files, const GeneralSettings& settings, LogSink& log,
                      Mutex* fieldsLock = nullptr);

// Writes the list to "<path>.tmp", syncs it, keeps the current file as "<path>.bak" when
// "Backup" is set and the file is larger than 24 bytes, moves the new file into place and
// syncs the directory. The file name always names a whole file: the old one until the rename,
// then the new one. On any failure the current file stays as it was, one "failed to save" line
// is logged, and false is returned.
bool saveList(ClientTable& table, ClientList list, const ListFile& file, const GeneralSettings& settings, LogSink& log,
              Mutex* fieldsLock = nullptr);

}  // namespace tolmark

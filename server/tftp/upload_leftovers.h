#pragma once
// The working files of uploads: an upload is written to ".NAME.PID.N.upload" beside its target
// (PID the server's process, N a counter) and moved into place once complete. Such a name is the
// server's own and is never served nor written by a request. A server killed during an upload
// leaves its working file behind; the first upload of a run into a directory removes there what
// earlier runs left, so that crashes do not fill the directory and no walk of the whole tree is
// needed at start. Servers in other containers may share the directory, and their process
// numbers mean nothing here: an upload holds an exclusive lock (flock) on its working file until
// it has moved or removed it, and a file whose lock is taken is never removed. On a file system
// shared over the network (NFS mounted with nolock, say) a lock may be held on one host only,
// and one without locks holds none: there a working file is taken for a leftover only once it
// has not changed for an hour, far longer than an upload waits for its client with the usual
// time-outs (TFTPTimeout times TFTPRetransmit plus 1, a minute at least).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "common/log_sink.h"

namespace tolmark::tftp {

// Working file names stay within the 255 bytes of a file name.
inline constexpr std::size_t kWorkingLeafChars = 200;

std::string uploadWorkingName(std::string_view leaf, pid_t pid, std::uint32_t counter);
// The process that wrote a working file of that name, or nothing when the name is none.
std::optional<pid_t> uploadWorkingPid(std::string_view name);

// Locks a working file just made (fd) for its upload. False when the sweep of another server
// took the name between its creation and the lock: the caller tries another name. A file system
// without locks leaves the file unlocked, judged by its name and its age.
bool holdWorkingFile(int directoryFd, const std::string& name, int fd);

// What the locks of a directory's working files say.
enum class WorkingFileLocks {
    ByFileSystem,  // seen by every server on a local file system; maybe not on a network one
    ThisHostOnly,  // never enough alone
};

class UploadLeftovers {
public:
    explicit UploadLeftovers(LogSink& log, WorkingFileLocks locks = WorkingFileLocks::ByFileSystem);

    // Removes, the first time in this run, the working files that earlier runs left in the
    // directory: regular files of the server's user whose process has ended (or runs another
    // program), and those of this process's own number that are older than this run (a restart
    // that got the same number), unless an upload holds them locked, or, where a lock may not
    // be seen, unless they changed within the hour. Each removal is logged.
    // location: the directory's path with its
    // final "/", for the log. Called from the listener's thread only.
    void sweepOnce(int directoryFd, const std::string& location);

private:
    bool leftOver(int directoryFd, const char* name, pid_t writer, struct stat& status) const;
    bool sameProgramRuns(pid_t pid) const;

    LogSink& log_;
    WorkingFileLocks locks_;
    pid_t self_;
    std::string program_;  // this process's command name
    std::time_t started_;
    std::set<std::pair<dev_t, ino_t>> swept_;
};

}  // namespace tolmark::tftp

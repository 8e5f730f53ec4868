#pragma once
// Resolving a request's name below the directory it is served from, one component at a time:
// every component is opened with O_NOFOLLOW relative to the directory already reached, and a
// symbolic link is read and followed by this code, never by the kernel. So the resolution never
// leaves the base directory, on any kernel: a link whose target stays below the base (also an
// absolute one that names a place below it) is followed, one that would lead out is refused.
// ".." in a link's target goes up only as far as the base.

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/file_descriptor.h"

namespace tolmark::tftp {

struct ConfinedBase {
    std::string directory;  // as configured, with its final "/"
    // Absolute link targets that begin with one of these texts (directory forms of the base, such
    // as the configured text and the path with its links resolved) continue below the base.
    std::vector<std::string> absoluteForms;
};
// The base for a directory: its configured form and its resolved form.
ConfinedBase confinedBase(const std::string& directory);

struct ConfinedName {
    int error = 0;                       // an errno value; 0 when resolved
    platform::FileDescriptor directory;  // the directory that holds the leaf (O_PATH)
    std::string leaf;                    // the leaf's own name there
    std::string location;                // base directory + the components walked, the leaf included
    bool exists = false;                 // the leaf exists (as something other than a link)
    struct stat leafStatus {};           // when it exists
};

// parentOnly: resolve every component but the last, which is only named (an upload's target; a
// link there is not followed). Errors: ENOENT, ENOTDIR, ELOOP (too many links), EXDEV (a link
// leads out of the base), EISDIR (the name is the base itself or ends in a directory).
ConfinedName resolveBelow(const ConfinedBase& base, std::string_view name, bool parentOnly);

// Opens a resolved regular file for reading without blocking on whatever it is, and checks that
// what was opened is the file that was resolved. -1 with errno on failure (EINVAL: not a regular
// file).
int openResolvedForReading(const ConfinedName& resolved);

}  // namespace tolmark::tftp

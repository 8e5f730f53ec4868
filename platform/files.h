#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/file_descriptor.h"

namespace tolmark::platform {

// Opens name (open(2) flags; created files get mode 0644) below directory. Any resolution that
// would leave the directory, through ".." or a symbolic link, is refused. Returns the file
// descriptor or -1.
int openBelow(const std::string& directory, std::string_view name, int flags);
// The same below an open directory.
int openBelowAt(int directoryFd, std::string_view name, int flags);
// The path an open descriptor refers to, with every symbolic link resolved; empty on failure.
std::string resolvedPath(int fd);

// The process may create and replace files in the directory (errno set when not).
bool directoryWritable(const std::string& directory);
// False (errno set) when the file exists and the process may not read it.
bool readableOrMissing(const std::string& path);

// Creates temporary, to be written and then renamed over path: always a new file of the
// process's own (whatever was left under the name, a link say, is removed, not written
// through), with the owner, group and mode of the file at path as far as the process may give
// them, so that a replacement made by root stays readable by the service's own user. Invalid
// (errno set) when it cannot be created.
FileDescriptor createReplacement(const std::string& temporary, const std::string& path);
// Gives the new file fd the owner, group and the mode bits of modeBits of the file old describes,
// as far as the process may give them (a writer that is not root keeps at least the group).
void takeOwnerAndMode(int fd, const struct stat& old, mode_t modeBits);

// The file a path names in the end, for a writer that replaces it by a rename: a file kept
// elsewhere and linked into the data directory is written where it lives, and the link stays.
// Only a link of root's or of the process's own user is followed: the data directory belongs to
// the service's user, and a link that user made must not lead a writer running as root to
// rewrite a file the user could not (such a link is replaced by the file, as a rename does).
// Nothing on a loop of links or after 40 of them (errno ELOOP), or when a link cannot be read.
std::optional<std::string> linkTarget(const std::string& path);

// Raises the soft limit of open descriptors to the hard limit, so that the server's many
// sockets, files and connections have room beside each other.
void raiseOpenFileLimit();

}  // namespace tolmark::platform

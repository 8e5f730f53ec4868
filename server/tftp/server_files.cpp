#include "server/tftp/server_files.h"

#include <optional>

#include "platform/files.h"

namespace tolmark::tftp {
namespace {

// Companions written beside a file: its ".tmp" while it is saved, its ".bak" copy, and the
// copies kept of a file that could not be loaded (".unloaded", ".unloaded.1" ...).
constexpr const char* kCompanions[] = {"", ".tmp", ".bak", ".unloaded"};

bool isLogFileName(std::string_view name) {
    return name.size() > 8 && name.substr(0, 4) == "dhcp" && name.substr(name.size() - 4) == ".log";
}

}  // namespace

void ServerFileGuard::addFile(const std::string& path) {
    struct stat status {};
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return;
    const std::string directory = path.substr(0, slash + 1);
    if (::stat(directory.c_str(), &status) == 0)
        names_.push_back({{status.st_dev, status.st_ino}, path.substr(slash + 1)});
    for (const char* companion : kCompanions) {
        if (::stat((path + companion).c_str(), &status) == 0) objects_.push_back({status.st_dev, status.st_ino});
    }
}

ServerFileGuard::ServerFileGuard(const ServerFiles& files) {
    struct stat status {};
    for (const std::string& path : files.files) {
        addFile(path);
        // A file linked in from elsewhere is saved there, its companions beside it.
        const std::optional<std::string> target = platform::linkTarget(path);
        if (target && *target != path) addFile(*target);
    }
    if (!files.logDirectory.empty() && ::stat(files.logDirectory.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        logDirectories_.push_back({status.st_dev, status.st_ino});
}

bool ServerFileGuard::protects(int directoryFd, std::string_view leaf, const struct stat* object) const {
    if (object != nullptr) {
        for (const Identity& o : objects_) {
            if (o == Identity{object->st_dev, object->st_ino}) return true;
        }
    }
    struct stat status {};
    if (::fstat(directoryFd, &status) != 0) return true;  // cannot tell: refused
    const Identity directory{status.st_dev, status.st_ino};
    for (const NamedFile& n : names_) {
        if (n.directory != directory) continue;
        // The name itself or the name followed by "." and anything (its companions).
        if (leaf.size() >= n.name.size() && leaf.compare(0, n.name.size(), n.name) == 0 &&
            (leaf.size() == n.name.size() || leaf[n.name.size()] == '.'))
            return true;
    }
    for (const Identity& d : logDirectories_) {
        if (d == directory && isLogFileName(leaf)) return true;
    }
    return false;
}

}  // namespace tolmark::tftp

#include "platform/administrators.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

namespace tolmark::platform {

namespace {

constexpr const char* kAdministratorGroups[] = {"sudo", "wheel", "admin"};

std::size_t lookupBufferSize() {
    const long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    return size > 0 ? static_cast<std::size_t>(size) : 16384;
}

std::optional<gid_t> groupId(const char* name) {
    std::vector<char> buffer(lookupBufferSize());
    group entry{};
    group* found = nullptr;
    // A group whose entry is larger than the buffer is looked up again with more room.
    while (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr) return std::nullopt;
    return found->gr_gid;
}

// The primary group and every supplementary group of the user; just the primary group when
// the user has no passwd entry.
std::vector<gid_t> groupsOf(uid_t uid, gid_t gid) {
    std::vector<char> buffer(lookupBufferSize());
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr) return {gid};
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(found->pw_name, gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        groups.resize(static_cast<std::size_t>(std::max(count, static_cast<int>(groups.size()) * 2)));
    }
    return {gid};
}

}  // namespace

bool userMayChange(uid_t uid, gid_t gid) {
    if (uid == 0) return true;
    const std::vector<gid_t> groups = groupsOf(uid, gid);
    for (const char* name : kAdministratorGroups) {
        const std::optional<gid_t> id = groupId(name);
        if (id && std::find(groups.begin(), groups.end(), *id) != groups.end()) return true;
    }
    return false;
}

}  // namespace tolmark::platform

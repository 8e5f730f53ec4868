#include "platform/privileges.h"

#include <cap-ng.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/file_descriptor.h"
#include "platform/linux/run_command.h"

namespace tolmark::platform {
namespace {

int capabilityNumber(Capability capability) {
    switch (capability) {
        case Capability::NetBindService:
            return CAP_NET_BIND_SERVICE;
        case Capability::NetRaw:
            return CAP_NET_RAW;
    }
    return -1;
}

bool isKept(int number, std::span<const Capability> keep) {
    return std::any_of(keep.begin(), keep.end(), [&](Capability c) { return capabilityNumber(c) == number; });
}

std::size_t lookupBufferSize() {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    return size > 0 ? static_cast<std::size_t>(size) : 16384;
}

std::optional<UserAccount> lookUpUser(std::string_view name) {
    if (name.empty()) return std::nullopt;
    const std::string key(name);
    std::vector<char> buffer(lookupBufferSize());
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwnam_r(key.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) return std::nullopt;
    return UserAccount{found->pw_name, found->pw_uid, found->pw_gid, found->pw_dir != nullptr ? found->pw_dir : ""};
}

bool groupExists(const std::string& name) {
    std::vector<char> buffer(lookupBufferSize());
    group entry{};
    group* found = nullptr;
    while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr;
}

// What each failure of capng_change_id means.
std::string changeIdError(int result) {
    switch (result) {
        case -2:
            return "keeping capabilities across the change of user failed";
        case -3:
            return "taking the capabilities needed for the change failed";
        case -4:
            return "changing the group failed";
        case -5:
            return "dropping the supplementary groups failed";
        case -6:
            return "changing the user failed";
        case -7:
            return "ending the keeping of capabilities failed";
        case -8:
            return "clearing the bounding set failed";
        case -9:
            return "dropping CAP_SETPCAP or the ambient capabilities failed";
        case -10:
            return "setting the user's supplementary groups failed";
        default:
            return "changing the user failed (" + std::to_string(result) + ")";
    }
}

// The highest capability the running kernel knows, which may be newer than these headers.
int lastCapability() {
    int last = CAP_LAST_CAP;
    while (last < 63 && ::prctl(PR_CAPBSET_READ, last + 1, 0, 0, 0) >= 0) ++last;
    return last;
}

bool setNoNewPrivileges(std::string& error) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) {
        error = "setting no-new-privileges failed";
        return false;
    }
    return true;
}

// The sets of the calling thread hold nothing but keep in effect and permitted, and nothing
// at all in the sets named by emptySets (bounding, ambient).
bool holdsOnly(std::span<const Capability> keep, unsigned emptySets, std::string& error) {
    if (capng_get_caps_process() != 0) {
        error = "reading the capabilities back failed";
        return false;
    }
    for (int n = 0; n <= lastCapability(); ++n) {
        const bool extra = !isKept(n, keep) && (capng_have_capability(CAPNG_EFFECTIVE, static_cast<unsigned>(n)) ||
                                                capng_have_capability(CAPNG_PERMITTED, static_cast<unsigned>(n)));
        const bool inEmptied =
            ((emptySets & CAPNG_BOUNDING_SET) != 0 &&
             capng_have_capability(CAPNG_BOUNDING_SET, static_cast<unsigned>(n))) ||
            ((emptySets & CAPNG_AMBIENT) != 0 && capng_have_capability(CAPNG_AMBIENT, static_cast<unsigned>(n)));
        if (extra || inEmptied) {
            const char* name = capng_capability_to_name(static_cast<unsigned>(n));
            error = std::string("capability ") + (name != nullptr ? name : std::to_string(n).c_str()) + " remains";
            return false;
        }
    }
    return true;
}

class CapNgIdentity final : public ProcessIdentity {
public:
    std::optional<UserAccount> findUser(std::string_view name) override { return lookUpUser(name); }

    uid_t effectiveUser() override { return ::geteuid(); }

    bool mayChangeUser() override {
        return capng_get_caps_process() == 0 && capng_have_capability(CAPNG_EFFECTIVE, CAP_SETUID) &&
               capng_have_capability(CAPNG_EFFECTIVE, CAP_SETGID);
    }

    bool changeTo(const UserAccount& account, std::span<const Capability> keep, std::string& error) override {
        capng_clear(CAPNG_SELECT_BOTH);
        for (Capability c : keep) {
            capng_update(CAPNG_ADD, static_cast<capng_type_t>(CAPNG_EFFECTIVE | CAPNG_PERMITTED),
                         static_cast<unsigned>(capabilityNumber(c)));
        }
        const int result = capng_change_id(
            static_cast<int>(account.uid), static_cast<int>(account.gid),
            static_cast<capng_flags_t>(CAPNG_INIT_SUPP_GRP | CAPNG_CLEAR_BOUNDING | CAPNG_CLEAR_AMBIENT));
        if (result != 0) {
            error = changeIdError(result);
            return false;
        }
        uid_t ruid, euid, suid;
        gid_t rgid, egid, sgid;
        if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 || ruid != account.uid ||
            euid != account.uid || suid != account.uid || rgid != account.gid || egid != account.gid ||
            sgid != account.gid) {
            error = "the user and group ids did not all change";
            return false;
        }
        // The way back to root must be closed (a saved id of 0 would leave it open).
        if (account.uid != 0 && ::setuid(0) == 0) {
            error = "root could be taken back";
            return false;
        }
        // The environment names the user, not the one who started the server: what reads the
        // user's own files finds them (libpq reads ~/.pgpass for "LeaseDatabase" through HOME).
        // No thread runs yet (see the class), so the environment may change.
        const char* home = account.home.empty() ? "/" : account.home.c_str();
        if (::setenv("HOME", home, 1) != 0 ||                     // NOLINT(concurrency-mt-unsafe)
            ::setenv("USER", account.name.c_str(), 1) != 0 ||     // NOLINT(concurrency-mt-unsafe)
            ::setenv("LOGNAME", account.name.c_str(), 1) != 0) {  // NOLINT(concurrency-mt-unsafe)
            error = "setting HOME, USER and LOGNAME failed";
            return false;
        }
        // The change made the process undumpable; it is the user's process now, as when the
        // service manager starts it as the user: it may leave a core, and the capabilities it
        // holds still keep the user's other processes from tracing it.
        ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
        return setNoNewPrivileges(error) && holdsOnly(keep, CAPNG_BOUNDING_SET | CAPNG_AMBIENT, error);
    }

    bool limitTo(std::span<const Capability> keep, std::string& error) override {
        if (capng_get_caps_process() != 0) {
            error = "reading the capabilities failed";
            return false;
        }
        bool extra = false;
        for (int n = 0; n <= lastCapability(); ++n) {
            const auto u = static_cast<unsigned>(n);
            if (!isKept(n, keep) &&
                (capng_have_capability(CAPNG_PERMITTED, u) || capng_have_capability(CAPNG_EFFECTIVE, u) ||
                 capng_have_capability(CAPNG_INHERITABLE, u))) {
                extra = true;
            }
        }
        // Only when there is something to drop: a service's system call filter may refuse the
        // call even when it would change nothing.
        if (extra) {
            const std::vector<bool> had = permittedOf(keep);
            capng_clear(CAPNG_SELECT_CAPS);
            for (std::size_t i = 0; i < keep.size(); ++i) {
                if (had[i]) {
                    capng_update(CAPNG_ADD, static_cast<capng_type_t>(CAPNG_EFFECTIVE | CAPNG_PERMITTED),
                                 static_cast<unsigned>(capabilityNumber(keep[i])));
                }
            }
            if (capng_apply(CAPNG_SELECT_CAPS) != 0) {
                error = "dropping the other capabilities failed";
                return false;
            }
        }
        // Nothing the server starts may inherit them (it starts nothing, and so it stays).
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
            error = "clearing the ambient capabilities failed";
            return false;
        }
        return setNoNewPrivileges(error) && holdsOnly(keep, CAPNG_AMBIENT, error);
    }

    bool hasCapability(Capability capability) override {
        return capng_get_caps_process() == 0 &&
               capng_have_capability(CAPNG_EFFECTIVE, static_cast<unsigned>(capabilityNumber(capability)));
    }

private:
    static std::vector<bool> permittedOf(std::span<const Capability> keep) {
        std::vector<bool> had;
        for (Capability c : keep)
            had.push_back(capng_have_capability(CAPNG_PERMITTED, static_cast<unsigned>(capabilityNumber(c))) != 0);
        return had;
    }
};

}  // namespace

const char* capabilityName(Capability capability) {
    switch (capability) {
        case Capability::NetBindService:
            return "cap_net_bind_service";
        case Capability::NetRaw:
            return "cap_net_raw";
    }
    return "";
}

std::unique_ptr<ProcessIdentity> makeProcessIdentity() { return std::make_unique<CapNgIdentity>(); }

void restrictNewFileModes() { ::umask(027); }

std::optional<UserAccount> ensureSystemUser(const std::string& name, const std::string& home) {
    if (std::optional<UserAccount> account = lookUpUser(name)) return account;
    int failure = ENOENT;
    std::string directory = home;
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    if (!groupExists(name) && runCommand({"groupadd", "--system", name}, nullptr) != 0) failure = errno;
    if (runCommand({"useradd", "--system", "--gid", name, "--home-dir", directory, "--no-create-home", "--shell",
                    "/usr/sbin/nologin", "--comment", "Tolmark DHCP Server", name},
                   nullptr) != 0) {
        failure = errno;
    }
    std::optional<UserAccount> account = lookUpUser(name);
    if (!account) errno = failure;
    return account;
}

bool handOverDirectory(const std::string& directory, const UserAccount& account) {
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir || ::fchown(dir.get(), account.uid, account.gid) != 0 || ::fchmod(dir.get(), 0750) != 0) return false;
    const int listing = ::dup(dir.get());
    if (listing < 0) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), ::closedir);
    if (!entries) {
        ::close(listing);
        return false;
    }
    while (const dirent* entry = ::readdir(entries.get())) {
        struct stat seen {};
        if (::fstatat(dir.get(), entry->d_name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) continue;
        // Opened without following links, and changed through the open file: a name replaced
        // meanwhile cannot redirect the change.
        FileDescriptor file(
            ::openat(dir.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!file) continue;
        struct stat st {};
        // A file with another name elsewhere is not the directory's own: given away through a
        // name placed here, a file of root's outside would pass to the account.
        if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111) != 0 || st.st_nlink != 1)
            continue;
        if (::fchown(file.get(), account.uid, account.gid) != 0 || ::fchmod(file.get(), st.st_mode & 0770) != 0)
            return false;
    }
    return true;
}

}  // namespace tolmark::platform

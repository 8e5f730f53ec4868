#pragma once
// Who the server runs as: the user it changes to, the capabilities it keeps, the access others
// get to the files it creates, and the system user an installation creates for it.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tolmark::platform {

// The capabilities the server may keep, with what needs them.
enum class Capability {
    NetBindService,  // UDP and TCP ports below 1024: DHCP 67, TFTP 69
    NetRaw,          // packet sockets: the ARP address test, unicast replies to a hardware address
};
// What the server needs, no more; the service unit grants the same two.
inline constexpr Capability kServerCapabilities[] = {Capability::NetBindService, Capability::NetRaw};
// The name the kernel and the unit use: "cap_net_bind_service".
const char* capabilityName(Capability capability);

struct UserAccount {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;  // the account's home directory
};

// The process's user and capabilities. Capabilities belong to each thread: the changes below
// must be made before the process starts any thread, so that every thread inherits them.
class ProcessIdentity {
public:
    virtual ~ProcessIdentity() = default;
    virtual std::optional<UserAccount> findUser(std::string_view name) = 0;
    virtual uid_t effectiveUser() = 0;
    // The process may change to another user (it holds CAP_SETUID and CAP_SETGID, as root does).
    virtual bool mayChangeUser() = 0;
    // Every user and group id becomes the account's (with its supplementary groups); only keep
    // stays in effect and permitted, the bounding and ambient sets are emptied, and the process
    // can gain no privilege again (no-new-privileges); HOME, USER and LOGNAME become the
    // account's, as a login makes them. False, with the reason in error, when any step fails or
    // the result is not exactly that.
    virtual bool changeTo(const UserAccount& account, std::span<const Capability> keep, std::string& error) = 0;
    // The same user stays; every capability but keep and every ambient one goes, and
    // no-new-privileges is set.
    virtual bool limitTo(std::span<const Capability> keep, std::string& error) = 0;
    virtual bool hasCapability(Capability capability) = 0;
};
std::unique_ptr<ProcessIdentity> makeProcessIdentity();

// Files and directories the process creates from now on are not readable by others (umask 027).
void restrictNewFileModes();

// The system user and group of that name, created when missing ("groupadd" and "useradd" found
// through PATH), with home as home directory and no login shell. nullopt, errno set, when it
// still does not exist afterwards.
std::optional<UserAccount> ensureSystemUser(const std::string& name, const std::string& home);
// Gives the directory, and the plain files directly in it that are not executable and have no
// other name, to the account and its group, and takes away the access of others. Symbolic links
// are not followed. False
// (errno set) on the first failure.
bool handOverDirectory(const std::string& directory, const UserAccount& account);

}  // namespace tolmark::platform

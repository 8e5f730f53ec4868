#pragma once
// The Linux stand-in for membership of the local Administrators group, used by the control
// pipe for its peers and by the manager for its own user. An administrator who has not
// elevated still counts, as a member of "sudo", "wheel" or "admin" does here without sudo.

#include <sys/types.h>

namespace tolmark::platform {

// uid 0, or a user whose primary or supplementary groups include one of the groups "sudo",
// "wheel", "admin" that exist on the host.
bool userMayChange(uid_t uid, gid_t gid);

}  // namespace tolmark::platform

#pragma once
// Write permission of a control pipe peer: the Linux stand-in for membership of the local
// Administrators group. An administrator who has not elevated still counts, as a member of
// "sudo", "wheel" or "admin" does here without running sudo.

#include <sys/types.h>

namespace tolmark {

// uid 0, or a user whose primary or supplementary groups include one of the groups "sudo",
// "wheel", "admin" that exist on the host.
bool userMayChange(uid_t uid, gid_t gid);

// The test for the process at the other end of a local socket (SO_PEERCRED); false when the
// peer cannot be identified.
bool peerMayChange(int socketFd);

}  // namespace tolmark

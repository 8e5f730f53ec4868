#pragma once
// Write permission of a control pipe peer: platform::userMayChange for the user at the other
// end of the socket.

#include <sys/types.h>

namespace tolmark {

// The test for the process at the other end of a local socket (SO_PEERCRED); false when the
// peer cannot be identified.
bool peerMayChange(int socketFd);

}  // namespace tolmark

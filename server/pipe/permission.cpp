#include "server/pipe/permission.h"

#include <sys/socket.h>

#include "platform/administrators.h"

namespace tolmark {

bool peerMayChange(int socketFd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
        return false;
    return platform::userMayChange(credentials.uid, credentials.gid);
}

}  // namespace tolmark

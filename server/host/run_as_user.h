#pragma once
// The user the server runs as ("RunAsUser"): decided and taken before the server starts any
// thread, since capabilities belong to threads and new threads inherit them.

#include <string>
#include <string_view>

#include "platform/privileges.h"

namespace tolmark {

struct RunAsOutcome {
    bool start = true;  // false: the server must not start
    // The log line to write, without its time stamp ("DHCP  Start   as user ..." or
    // "DHCP  Error   RunAsUser ..."); empty when the server stays as it was started.
    std::string line;
};

// Empty name: nothing changes. Otherwise the named user must exist. Root (or whoever may change
// user) changes to it keeping only the server's capabilities; that user itself keeps no more
// than those; anybody else cannot become it, and the server does not start.
RunAsOutcome takeRunAsUser(std::string_view name, platform::ProcessIdentity& identity);

}  // namespace tolmark

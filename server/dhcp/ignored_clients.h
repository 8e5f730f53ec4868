#pragma once
// The ignored list: refused requests recorded (the most recent clients), logged with their
// identification details, and the answer that tells a client not to auto-configure.

#include <cstddef>

#include "server/dhcp/engine_context.h"
#include "server/dhcp/reply_writer.h"

namespace tolmark::dhcp {

// Class argument for recordIgnored.
inline constexpr int kIgnoredBootp = 0;
inline constexpr int kIgnoredDhcp = 1;
inline constexpr int kIgnoredKeepClass = 2;
// Records a refused request in the ignored list (the most recent clients) and logs it; false
// when no record could be had for it.
bool commitIgnored(EngineTables& tables, const RequestInput& request, int classArgument);
// The answer that tells a DISCOVER's client not to auto-configure, when one is due: its length
// (548), else 0.
std::size_t writeIgnoredReply(const RequestInput& request, ReplyWriter& reply);

// The identification details of a log line (" rc ...", " rr ...", " ci ...", " uc ...",
// " vc ...", " gw ...", " nm ..."), written into out.
void relaySuffix(const RequestView& summary, char* out, std::size_t capacity);

}  // namespace tolmark::dhcp

#pragma once
// The request processor the receive loop hands every accepted datagram to, under the engine
// lock. It builds the reply in the reply buffer and returns its length, 0 for no reply.

#include <cstddef>
#include <cstdint>
#include <span>

#include "server/dhcp/request_summary.h"

namespace tolmark {

class RequestProcessor {
public:
    virtual ~RequestProcessor() = default;
    virtual std::size_t process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                                RequestSummary& summary) = 0;
};

}  // namespace tolmark

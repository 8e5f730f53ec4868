#pragma once
// The request processor the receive loop hands every accepted datagram to, under the engine
// lock. It builds the reply in the reply buffer and returns its length, 0 for no reply.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "server/dhcp/request_summary.h"

namespace tolmark {

class RequestProcessor {
public:
    virtual ~RequestProcessor() = default;
    virtual std::size_t process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                                RequestSummary& summary) = 0;
};

// UNFINISHED SEAM: the DHCP engine (message parsing, identification, allocation and replies)
// is not built yet. Until it is, every accepted request is answered with silence. For the
// end-to-end tests only, the environment variable TOLMARK_TEST_REQUEST_TRACE names a file that
// gets one line per request handed over ("<interface> <source> <length>").
class PendingRequestProcessor final : public RequestProcessor {
public:
    PendingRequestProcessor();
    ~PendingRequestProcessor() override;
    PendingRequestProcessor(const PendingRequestProcessor&) = delete;
    PendingRequestProcessor& operator=(const PendingRequestProcessor&) = delete;
    std::size_t process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                        RequestSummary& summary) override;

private:
    std::FILE* trace_ = nullptr;
};

}  // namespace tolmark

#include "server/dhcp/request_processor.h"

#include <cstdlib>

namespace tolmark {

PendingRequestProcessor::PendingRequestProcessor() {
    const char* path = std::getenv("TOLMARK_TEST_REQUEST_TRACE");
    if (path != nullptr && *path != '\0') trace_ = std::fopen(path, "a");
}

PendingRequestProcessor::~PendingRequestProcessor() {
    if (trace_ != nullptr) std::fclose(trace_);
}

std::size_t PendingRequestProcessor::process(std::span<const std::uint8_t> request, std::span<std::uint8_t>,
                                             RequestSummary& summary) {
    if (trace_ != nullptr) {
        std::fprintf(trace_, "%s %s %zu\n", formatIpv4(summary.interfaceAddress).c_str(),
                     formatIpv4(summary.sourceAddress).c_str(), request.size());
        std::fflush(trace_);
    }
    return 0;
}

}  // namespace tolmark

#pragma once
// The request processor: one received request through parsing, identification, allocation and
// the rules of its message type, to the log line and the reply.

#include <cstddef>
#include <cstdint>
#include <span>

#include "config/settings_holder.h"
#include "platform/clock.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/dhcp/engine_context.h"
#include "server/dhcp/request_processor.h"

namespace tolmark::dhcp {

class DhcpEngine final : public RequestProcessor {
public:
    DhcpEngine(ClientTable& clients, const ProfileList& profiles, const InterfaceTable& interfaces,
               const SettingsHolder& settings, LogSink& log, const platform::Clock& clock, platform::ArpProber* arp);

    // Called under the engine lock.
    ReplyPlan process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                      const Arrival& arrival) override;

    // Where acknowledged clients' names are queued for registration in DNS; none: not queued.
    void setDnsUpdateQueue(DnsUpdateQueue* queue) { dnsQueue_ = queue; }

private:
    std::size_t answer(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply, RequestSummary& summary,
                       RequestView& view, Outcome& outcome);

    // The typed settings, built again when the holder's generation moves on.
    const EngineSettings& engineSettings();

    EngineContext context_;
    const SettingsHolder& settings_;
    EngineSettings typed_;
    std::uint64_t typedGeneration_ = 0;
    const platform::Clock& clock_;
    DnsUpdateQueue* dnsQueue_ = nullptr;
};

}  // namespace tolmark::dhcp

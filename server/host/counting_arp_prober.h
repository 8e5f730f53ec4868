#pragma once
// The address tests as the counters see them: the host's ARP prober, with every answer it
// gives the engine counted by its outcome. A test that is still pending counts once its
// answer (or its time-out) is in.

#include "platform/arp.h"
#include "server/metrics/server_metrics.h"

namespace tolmark {

class CountingArpProber final : public platform::ArpProber {
public:
    CountingArpProber(platform::ArpProber& inner, DhcpCounters& counters) : inner_(inner), counters_(counters) {}

    platform::ProbeResult probe(int ifIndex, Ipv4 source, Ipv4 target) override {
        const platform::ProbeResult result = inner_.probe(ifIndex, source, target);
        // Without a packet socket every address is free unasked: no test took place.
        if (result.state == platform::ProbeState::Pending || !inner_.ready()) return result;
        (result.state == platform::ProbeState::Free ? counters_.testsNoAnswer : counters_.testsAnswered).add();
        return result;
    }
    platform::WakeEvent& completed() override { return inner_.completed(); }
    bool ready() const override { return inner_.ready(); }

private:
    platform::ArpProber& inner_;
    DhcpCounters& counters_;
};

}  // namespace tolmark

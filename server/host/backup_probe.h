#pragma once
// Detection of another active server of this kind: a special DISCOVER on every interface at
// start-up and then about once a minute. While another server answers, this one stays paused
// and drops every request; when the other stops answering, it takes over.

#include <array>
#include <cstdint>
#include <mutex>
#include <span>

#include "common/log_sink.h"
#include "config/interface_table.h"
#include "config/settings_holder.h"
#include "platform/wake_event.h"
#include "server/dhcp/probe_message.h"
#include "server/host/server_flags.h"

namespace tolmark {

// An answer comes from another address than the entry's own, is at least 300 bytes long and
// is a reply.
bool isProbeAnswer(std::span<const std::uint8_t> datagram, Ipv4 source, Ipv4 entryAddress);

class BackupProbe {
public:
    BackupProbe(const InterfaceTable& interfaces, const SettingsHolder& settings, ServerFlags& flags, LogSink& log,
                const platform::WakeEvent& stop)
        : interfaces_(interfaces), settings_(settings), flags_(flags), log_(log), stop_(stop) {}

    // startup: the first probe, which pauses the server until it has its answer. Probes the
    // addresses the host has, each once; a second call waits for the one running.
    void run(bool startup);

private:
    const InterfaceTable& interfaces_;
    const SettingsHolder& settings_;
    ServerFlags& flags_;
    LogSink& log_;
    const platform::WakeEvent& stop_;
    std::mutex running_;  // one probe at a time
};

}  // namespace tolmark

#include <algorithm>
#include <array>
#include <cstdio>

#include "server/tftp/packets.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {

std::size_t Channel::sendBatch(std::span<const Outgoing> datagrams, bool toGroup) {
    std::size_t sent = 0;
    for (const Outgoing& d : datagrams) {
        if (!(toGroup ? sendToGroup(d.header, d.data) : send(d.header, d.data))) break;
        ++sent;
    }
    return sent;
}

bool sendOptionAck(EngineContext& context, std::span<std::uint8_t> buffer, bool master) {
    const OackValues values = oackValues(context.transfer.request, master);
    const std::size_t length = writeOack(buffer, values);
    if (length == 0 || !context.channel.send(buffer.first(length))) return false;
    char pieces[160];
    formatOptionPieces(pieces, sizeof pieces, values);
    context.log.line(2, false, "TFTP  Oack    sent%s\n", pieces);
    return true;
}

bool sendErrorPacket(EngineContext& context, unsigned code, ErrorText text) {
    std::array<std::uint8_t, 128> packet{};
    const std::size_t length = writeError(packet, code, errorText(text));
    return length != 0 && context.channel.send(std::span<const std::uint8_t>(packet.data(), length));
}

std::int64_t maxSilentMs(std::int32_t timeout, std::int32_t retransmit) {
    constexpr std::int64_t kMinimumMs = 60000;
    const std::int64_t own = std::int64_t{std::max(timeout, 1)} * (std::int64_t{std::max(retransmit, 0)} + 1) * 1000;
    return std::max(own, kMinimumMs);
}

std::int64_t laterRepeatMs(const TransferRequest& request) {
    constexpr std::int64_t kUnnegotiatedClientTimeoutMs = 5000;
    const std::int64_t timeout = std::int64_t{std::max(request.timeout, 1)} * 1000;
    return timeout + ((request.options & kOptTimeout) != 0 ? timeout : kUnnegotiatedClientTimeoutMs);
}

std::int64_t waitLimitMs(const EngineContext& context, std::int64_t timeoutMs, std::int64_t lastHeardMs) {
    if (context.settings.maxSilentMs <= 0) return timeoutMs;
    const std::int64_t left = lastHeardMs + context.settings.maxSilentMs - context.channel.nowMs();
    return std::max<std::int64_t>(0, std::min(timeoutMs, left));
}

void keepClientError(Transfer& transfer, const ReceivedPacket& packet) {
    std::snprintf(transfer.clientError.data(), transfer.clientError.size(), "%u %.*s", packet.errorCode,
                  static_cast<int>(std::min<std::size_t>(packet.errorMessage.size(), kClientErrorMax)),
                  packet.errorMessage.data());
}

}  // namespace tolmark::tftp

#include <algorithm>
#include <cstdio>

#include "server/tftp/packets.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {

bool sendOptionAck(EngineContext& context, std::span<std::uint8_t> buffer, bool master) {
    const OackValues values = oackValues(context.transfer.request, master);
    const std::size_t length = writeOack(buffer, values);
    if (length == 0 || !context.channel.send(buffer.first(length))) return false;
    char pieces[160];
    formatOptionPieces(pieces, sizeof pieces, values);
    context.log.line(2, false, "TFTP  Oack    sent%s\n", pieces);
    return true;
}

void keepClientError(Transfer& transfer, const ReceivedPacket& packet) {
    std::snprintf(transfer.clientError.data(), transfer.clientError.size(), "%u %.*s", packet.errorCode,
                  static_cast<int>(std::min<std::size_t>(packet.errorMessage.size(), kClientErrorMax)),
                  packet.errorMessage.data());
}

}  // namespace tolmark::tftp

#include "server/metrics/server_metrics.h"

#include "common/transfer_image.h"

namespace tolmark {

StatCounter receivedCounterOf(int messageType) {
    switch (messageType) {
        case 0:
            return StatCounter::ReceivedBootp;
        case 1:
            return StatCounter::ReceivedDiscover;
        case 3:
            return StatCounter::ReceivedRequest;
        case 4:
            return StatCounter::ReceivedDecline;
        case 7:
            return StatCounter::ReceivedRelease;
        case 8:
            return StatCounter::ReceivedInform;
        default:
            return StatCounter::ReceivedOther;
    }
}

bool replyCounterOf(int messageType, int requestType, StatCounter& counter) {
    switch (messageType) {
        case 0:
            if (requestType > 1) return false;
            counter = requestType == 1 ? StatCounter::RepliesOffer : StatCounter::RepliesBootp;
            return true;
        case 2:
            counter = StatCounter::RepliesOffer;
            return true;
        case 5:
            counter = StatCounter::RepliesAck;
            return true;
        case 6:
            counter = StatCounter::RepliesNak;
            return true;
        default:
            return false;
    }
}

void DhcpCounters::countReceived(int messageType) {
    const auto i =
        static_cast<std::size_t>(receivedCounterOf(messageType)) - static_cast<std::size_t>(StatCounter::ReceivedBootp);
    received[i].add();
}

void DhcpCounters::countReply(int messageType, int requestType) {
    StatCounter c;
    if (!replyCounterOf(messageType, requestType, c)) return;
    replies[static_cast<std::size_t>(c) - static_cast<std::size_t>(StatCounter::RepliesOffer)].add();
}

void TftpCounters::countEnd(std::int32_t outcome) {
    switch (outcome) {
        case kOutcomeDone:
            endedDone.add();
            break;
        case kOutcomeTimeout:
            endedTimeout.add();
            break;
        case kOutcomeAborted:
            endedAborted.add();
            break;
        default:
            endedFailed.add();
            break;
    }
}

void ServerMetrics::copyTo(ServerStats& s) const {
    using C = StatCounter;
    for (std::size_t i = 0; i < 7; ++i)
        s.counters[static_cast<std::size_t>(C::ReceivedBootp) + i] = dhcp.received[i].load();
    for (std::size_t i = 0; i < 4; ++i)
        s.counters[static_cast<std::size_t>(C::RepliesOffer) + i] = dhcp.replies[i].load();
    s[C::ReplySendFailures] = dhcp.sendFailures.load();
    s[C::Ignored] = dhcp.ignored.load();
    s[C::Malformed] = dhcp.malformed.load();
    s[C::AddressTestsNoAnswer] = dhcp.testsNoAnswer.load();
    s[C::AddressTestsAnswered] = dhcp.testsAnswered.load();
    s[C::ClaimsWon] = dhcp.claimsWon.load();
    s[C::ClaimsLost] = dhcp.claimsLost.load();
    s[C::ClaimsUnavailable] = dhcp.claimsUnavailable.load();
    s[C::TftpStarted] = tftp.started.load();
    s[C::TftpEndedDone] = tftp.endedDone.load();
    s[C::TftpEndedTimeout] = tftp.endedTimeout.load();
    s[C::TftpEndedAborted] = tftp.endedAborted.load();
    s[C::TftpEndedFailed] = tftp.endedFailed.load();
    s[C::TftpRefused] = tftp.refused.load();
    s[C::TftpSentBytes] = tftp.sentBytes.load();
    s[C::TftpReceivedBytes] = tftp.receivedBytes.load();
    s[C::ControlConnections] = service.controlConnections.load();
    s[C::ControlConnectionsRefused] = service.controlConnectionsRefused.load();
    s[C::ControlRequestsRefused] = service.controlRequestsRefused.load();
    s[C::DnsSent] = service.dnsSent.load();
    s[C::DnsSucceeded] = service.dnsSucceeded.load();
    s[C::DnsFailed] = service.dnsFailed.load();
    s[C::LeaseSaves] = service.leaseSaves.load();
    s[C::LeaseSaveFailures] = service.leaseSaveFailures.load();
    s[C::LeaseSaveMicroseconds] = service.leaseSaveMicroseconds.load();
}

}  // namespace tolmark

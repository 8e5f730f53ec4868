#include "server/tftp/transfer_record.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tolmark::tftp {
namespace {

TEST(TransferRecord, SnapshotFollowsTheTransfer) {
    Transfer t;
    t.request.opcode = kOpWriteRequest;
    t.request.size = 777;  // the client's tsize
    t.request.path = "/x";
    t.dataPort.store(6000);
    t.socketOpen.store(true);
    TransferImage running = t.snapshot();
    EXPECT_EQ(running.outcome, kRunning);
    EXPECT_EQ(running.thread, 1);
    EXPECT_EQ(running.socket, 6000u);
    EXPECT_EQ(running.size, 777u);

    // Once ended, a write shows the bytes received, the socket is invalid and the error kept.
    t.bytesReceived.store(1000);
    std::snprintf(t.clientError.data(), t.clientError.size(), "2 disk");
    t.outcome.store(kOutcomeAborted);
    t.socketOpen.store(false);
    t.endTime.store(1700000000);
    t.ended.store(true);
    const TransferImage ended = t.snapshot();
    EXPECT_EQ(ended.size, 1000u);
    EXPECT_EQ(ended.thread, -1);
    EXPECT_EQ(ended.socket, kClosedSocketImage);
    EXPECT_EQ(ended.clientError, "2 disk");
    EXPECT_EQ(ended.endTime, 1700000000);
}

}  // namespace
}  // namespace tolmark::tftp

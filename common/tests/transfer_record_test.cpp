#include "common/transfer_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "common/pipe_protocol.h"

namespace tolmark {
namespace {

TEST(TransferSummary, ReadsTheShownFieldsAtTheirOffsets) {
    std::array<std::uint8_t, kTransferRecordSize> image{};
    image[0] = 0x02;                                              // opcode: write request
    image[2] = 0x00, image[3] = 0x02;                             // block size 512
    image[4] = 0x34, image[5] = 0x12, image[6] = 0x01;            // block counter 0x011234
    image[8] = 0x03;                                              // mode octet
    image[20] = 0x10, image[21] = 0x27;                           // file size 10000
    std::memset(&image[40], 0xFF, 4);                             // outcome -1: running
    image[72] = 10, image[73] = 1, image[74] = 2, image[75] = 3;  // client 10.1.2.3
    std::memcpy(&image[136], "/srv/tftp/pxelinux.0", 21);
    image[1160] = 'x';  // the client's error text is not part of it

    const auto t = decodeTransferSummary(image);
    ASSERT_TRUE(t);
    TransferSummary expected;
    expected.opcode = kTransferWrite;
    expected.blockSize = 512;
    expected.blockCounter = 0x011234;
    expected.mode = 3;
    expected.fileSize = 10000;
    expected.outcome = -1;
    expected.client = makeIpv4(10, 1, 2, 3);
    expected.path = "/srv/tftp/pxelinux.0";
    EXPECT_EQ(*t, expected);

    EXPECT_FALSE(decodeTransferSummary(std::span(image).first(kTransferRecordSize - 1)));
    // A path that fills its field is cut so that it stays terminated.
    std::memset(&image[136], 'a', 1024);
    EXPECT_EQ(decodeTransferSummary(image)->path.size(), 1023u);
}

}  // namespace
}  // namespace tolmark

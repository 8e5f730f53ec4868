#include "common/transfer_image.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace tolmark {
namespace {

void place(std::array<std::uint8_t, kTransferRecordSize>& image, std::size_t offset,
           std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
}

// Every field gets a value of its own, so two swapped or shifted fields show.
TEST(TransferImage, ImagePinsEveryOffset) {
    TransferImage t;
    t.opcode = 1;
    t.blockSize = 0x05B4;  // 1460
    t.blockCounter = 0x00012345;
    t.mode = kModeOctet;
    t.textAccess = 1;
    t.options = 1 | 4;  // blksize, tsize
    t.size = 0x01020304;
    t.timeout = 5;
    t.socket = 0x1771;  // data port 6001
    t.outcome = kRunning;
    t.mapped = 1;
    t.client = makeIpv4(192, 168, 1, 20);
    t.group = makeIpv4(224, 0, 0, 1);
    t.clientPort = 0x1234;
    t.groupPort = 1758;
    t.master = 1;
    t.thread = 1;
    t.lastBlockRead = 0x2345;
    t.endTime = 0x0000000165432100;
    t.dataLength = 1460;
    t.secondLength = 12;
    t.path = "/srv/tftp/pxelinux.0";
    t.clientError = "1 nope";

    std::array<std::uint8_t, kTransferRecordSize> image{};
    place(image, 0, {0x01, 0x00});                              // request opcode
    place(image, 2, {0xB4, 0x05});                              // block size
    place(image, 4, {0x45, 0x23, 0x01, 0x00});                  // block counter
    place(image, 8, {3, 0, 0, 0});                              // mode
    place(image, 12, {1, 0, 0, 0});                             // text-mode access
    place(image, 16, {5, 0, 0, 0});                             // options
    place(image, 20, {0x04, 0x03, 0x02, 0x01});                 // size
    place(image, 24, {5, 0, 0, 0});                             // time-out
    place(image, 32, {0x71, 0x17, 0, 0, 0, 0, 0, 0});           // socket: the data port
    place(image, 40, {0xFF, 0xFF, 0xFF, 0xFF});                 // outcome -1
    place(image, 44, {1, 0, 0, 0});                             // mapped
    place(image, 48, {1, 0, 0, 0, 0, 0, 0, 0});                 // mapping: 1, no host pointer
    place(image, 72, {192, 168, 1, 20});                        // client address
    place(image, 76, {224, 0, 0, 1});                           // group address
    place(image, 80, {0x12, 0x34});                             // client port, network order
    place(image, 82, {0x06, 0xDE});                             // group port 1758
    place(image, 84, {1, 0, 0, 0});                             // master
    place(image, 88, {1, 0, 0, 0});                             // thread running
    place(image, 92, {0x45, 0x23, 0, 0});                       // last block read
    place(image, 96, {0x00, 0x21, 0x43, 0x65, 0x01, 0, 0, 0});  // end time
    place(image, 104, {0xB4, 0x05, 0, 0});                      // data length
    place(image, 120, {12, 0, 0, 0});                           // second buffer length
    const std::string path = "/srv/tftp/pxelinux.0";
    std::copy(path.begin(), path.end(), image.begin() + 136);
    place(image, 1160, {'1', ' ', 'n', 'o', 'p', 'e'});

    EXPECT_EQ(encodeTransferImage(t), image);
    const auto decoded = decodeTransferImage(image);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, t);
    EXPECT_FALSE(decodeTransferImage(std::span<const std::uint8_t>(image.data(), image.size() - 1)));
    std::vector<std::uint8_t> longer(image.begin(), image.end());
    longer.push_back(0);
    EXPECT_FALSE(decodeTransferImage(longer));
}

TEST(TransferImage, Names) {
    EXPECT_STREQ(modeName(kModeMail), "mail ");
    EXPECT_STREQ(modeName(kModeNetascii), "ascii");
    EXPECT_STREQ(modeName(kModeOctet), "octet");
    EXPECT_STREQ(modeName(kModeNone), "");
    EXPECT_STREQ(directionName(kOpReadRequest), "Get");
    EXPECT_STREQ(directionName(kOpWriteRequest), "Put");
    EXPECT_STREQ(directionName(7), "");
}

}  // namespace
}  // namespace tolmark

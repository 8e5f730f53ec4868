#include "common/pipe_protocol.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace tolmark {
namespace {

TEST(PipeMessage, FrameHoldsCodeValueAndPayload) {
    const std::uint8_t payload[3] = {7, 8, 9};
    const auto message = PipeMessage::make(toWire(PipeCode::WriteSetting), -2, payload);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->size, 11u);
    const std::uint8_t expected[11] = {49, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 7, 8, 9};
    EXPECT_TRUE(std::equal(message->view().begin(), message->view().end(), expected));
    EXPECT_EQ(message->word(), 49u);
    EXPECT_EQ(message->value(), -2);
    EXPECT_EQ(message->payload().size(), 3u);

    const std::vector<std::uint8_t> tooLong(kPipePayloadMax + 1, 0);
    EXPECT_FALSE(PipeMessage::make(1, 0, tooLong));
    EXPECT_TRUE(PipeMessage::make(1, 0, std::span(tooLong).first(kPipePayloadMax)));
    EXPECT_EQ(PipeMessage::statusOnly(15).size, 4u);
}

TEST(FileTime, CountsHundredNanosecondsSince1601) {
    EXPECT_EQ(fileTimeFromUnix(0, 0), 116444736000000000ull);
    EXPECT_EQ(fileTimeFromUnix(1, 250), 116444736010000002ull);
    EXPECT_EQ(unixSecondsFromFileTime(fileTimeFromUnix(1700000000, 999999999)), 1700000000);
}

TEST(FileSearchRecord, LayoutOfTheFindData) {
    FileSearchEntry entry;
    entry.attributes = kFileAttributeNormal;
    entry.creationTime = 0x0102030405060708ull;
    entry.lastAccessTime = 0x1112131415161718ull;
    entry.lastWriteTime = 0x2122232425262728ull;
    entry.size = 0x0000000500000010ull;
    entry.name = "dhcp2412.log";

    std::array<std::uint8_t, kFileSearchRecordSize> expected{};
    const std::uint8_t head[44] = {
        0x80, 0,    0,    0,                             // attributes: normal
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // creation FILETIME, low word first
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // last access
        0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // last write
        5,    0,    0,    0,                             // size, high word
        0x10, 0,    0,    0,                             // size, low word
        0,    0,    0,    0,    0,    0,    0,    0,     // two reserved words
    };
    std::copy(std::begin(head), std::end(head), expected.begin());
    const std::string name = "dhcp2412.log";  // 260-byte name field at 44; short name at 304 empty
    std::copy(name.begin(), name.end(), expected.begin() + 44);

    EXPECT_EQ(encodeFileSearchRecord(entry), expected);
    EXPECT_EQ(decodeFileSearchRecord(expected), entry);
    EXPECT_FALSE(decodeFileSearchRecord(std::span(expected).first(kFileSearchRecordSize - 1)));
}

TEST(FileSearchRecord, LongNameIsCutToItsField) {
    FileSearchEntry entry;
    entry.name = std::string(400, 'n');
    const auto bytes = encodeFileSearchRecord(entry);
    EXPECT_EQ(decodeFileSearchRecord(bytes)->name, std::string(259, 'n'));
    EXPECT_EQ(bytes[44 + 259], 0);
}

TEST(PipeName, EnvironmentReplacesTheDefault) {
    ::unsetenv("TOLMARK_PIPE");
    EXPECT_EQ(pipeName(), "tolmark_dhcp_server");
    ::setenv("TOLMARK_PIPE", "other_pipe", 1);
    EXPECT_EQ(pipeName(), "other_pipe");
    ::unsetenv("TOLMARK_PIPE");

    sockaddr_un address;
    socklen_t length = 0;
    ASSERT_TRUE(fillAbstractAddress("abc", address, length));
    EXPECT_EQ(address.sun_path[0], '\0');
    EXPECT_EQ(std::string(address.sun_path + 1, 3), "abc");
    EXPECT_EQ(length, offsetof(sockaddr_un, sun_path) + 4);
    EXPECT_FALSE(fillAbstractAddress("", address, length));
    EXPECT_FALSE(fillAbstractAddress(std::string(200, 'x'), address, length));
}

// A local control socket under name that accepts and never answers by itself.
platform::FileDescriptor listenOn(const std::string& name) {
    sockaddr_un address;
    socklen_t length = 0;
    platform::FileDescriptor listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fillAbstractAddress(name, address, length) ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(listener.get(), 4) != 0)
        return {};
    return listener;
}

TEST(PipeClient, NoServerMeansNoReply) {
    PipeClient client("tolmark_nobody_listens_" + std::to_string(::getpid()));
    EXPECT_FALSE(client.transact(PipeCode::GetSettings, 0));
    EXPECT_FALSE(client.connected());
}

// A peer that accepts but never answers fails the transaction once the time-out has passed, and
// the next request connects afresh.
TEST(PipeClient, SilentPeerFailsWithinTheTimeout) {
    const std::string name = "tolmark_silent_" + std::to_string(::getpid());
    const platform::FileDescriptor listener = listenOn(name);
    ASSERT_TRUE(listener.valid());

    PipeClient client(name);
    client.setTimeout(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.transact(PipeCode::GetStatus, -1));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(150));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_FALSE(client.connected());
}

// A server that closed the connection while it was idle (it stopped or restarted between two
// requests) is reached again by the next request on a new connection; the request is not lost.
TEST(PipeClient, ConnectionClosedWhileIdleIsOpenedAnew) {
    const std::string name = "tolmark_restarting_" + std::to_string(::getpid());
    const platform::FileDescriptor listener = listenOn(name);
    ASSERT_TRUE(listener.valid());
    const timeval acceptWait{3, 0};  // a client that never comes back ends the peer
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVTIMEO, &acceptWait, sizeof acceptWait);
    // Each accepted connection answers one request with its own number, then is closed.
    std::atomic<int> closed{0};
    std::thread server([&] {
        for (std::uint8_t round = 1; round <= 2; ++round) {
            platform::FileDescriptor peer(::accept(listener.get(), nullptr, nullptr));
            std::array<std::uint8_t, kPipeMessageMax> request{};
            if (!peer.valid() || ::recv(peer.get(), request.data(), request.size(), 0) <= 0) return;
            const std::optional<PipeMessage> reply = PipeMessage::make(0, round, {});
            ::send(peer.get(), reply->bytes.data(), reply->size, MSG_NOSIGNAL);
            peer.reset();
            closed = round;
        }
    });
    PipeClient client(name);
    client.setTimeout(std::chrono::milliseconds(2000));
    const std::optional<PipeMessage> first = client.transact(PipeCode::GetStatus, -1);
    for (int wait = 0; closed < 1 && wait < 200; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::optional<PipeMessage> second = client.transact(PipeCode::GetStatus, -1);
    server.join();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->value(), 1);
    EXPECT_EQ(second->value(), 2);
}

// Root, this process's user and the users given by name hold the socket as the server; any
// other user does not, and a name that names nobody trusts nobody.
TEST(PipeClient, TrustsRootItselfAndTheNamedServiceUsers) {
    const unsigned nobody = 65534;  // "nobody" on Debian
    if (::geteuid() == nobody || ::getpwnam("nobody") == nullptr || ::getpwnam("nobody")->pw_uid != nobody)
        GTEST_SKIP() << "needs the user nobody (uid 65534) and another user to run the test";
    EXPECT_TRUE(serverUserTrusted(0));
    EXPECT_TRUE(serverUserTrusted(::geteuid()));
    EXPECT_FALSE(serverUserTrusted(nobody));
    trustServerUser("");
    trustServerUser("tolmark_no_such_user");
    EXPECT_FALSE(serverUserTrusted(nobody));
    trustServerUser("nobody");
    EXPECT_TRUE(serverUserTrusted(nobody));
    EXPECT_FALSE(serverUserTrusted(nobody - 1));
}

}  // namespace
}  // namespace tolmark

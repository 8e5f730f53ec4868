// The pipe server over real sockets: a unique abstract name per test, the client side of
// common/pipe_protocol, reconnecting, TCP framing and a prompt stop.

#include "server/pipe/pipe_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/client_record.h"
#include "platform/administrators.h"
#include "server/pipe/permission.h"
#include "server/pipe/tests/pipe_fixture.h"

namespace tolmark {
namespace {

using testing::PipeFixture;

std::string uniqueName() {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("tolmark_test_") + info->name() + "_" + std::to_string(::getpid()) + "_" +
           std::to_string(++counter);
}

PipeServerOptions localOnly(const std::string& name) {
    PipeServerOptions options;
    options.localName = name;
    return options;
}

PipeServerOptions withTcp(const std::string& name) {
    PipeServerOptions options = localOnly(name);
    options.tcpPort = 0;
    options.tcpAddress = makeIpv4(127, 0, 0, 1);
    return options;
}

class PipeServerTest : public ::testing::Test {
protected:
    PipeServerTest() : name(uniqueName()) {
        fixture.writeProfile("Standard", "10.0.0.100", 50);
        fixture.loadProfiles();
    }

    PipeMessage addClient(PipeClient& client) {
        ClientRecordImage image;
        image.fields.identity.length = 6;
        image.fields.identity.bytes[5] = 9;
        image.fields.profile = "Standard";
        return *client.transact(PipeCode::AddClient, 0, encodeClientRecord(image));
    }

    PipeFixture fixture;
    std::string name;
};

TEST_F(PipeServerTest, TransactsAndReconnectsAfterTheServerClosed) {
    PipeServer server(fixture.context, localOnly(name));
    ASSERT_EQ(server.start(), PipeStartResult::Started);
    PipeClient client(name);
    std::optional<PipeMessage> reply = client.transact(PipeCode::GetSettings, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 160u);
    EXPECT_EQ(reply->value(), 152);
    EXPECT_EQ(fixture.store.readText(kGeneralSection, "Used", "", 8), "1");

    // Write permission follows the peer's credentials: this process's own user.
    const bool mayChange = platform::userMayChange(::getuid(), ::getgid());
    EXPECT_EQ(addClient(client).word(), mayChange ? kPipeDone : kPipeRefused);

    server.stop();
    EXPECT_FALSE(client.transact(PipeCode::GetSettings, 0).has_value());
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.transact(PipeCode::GetSettings, 0).has_value());  // nobody listens

    PipeServer restarted(fixture.context, localOnly(name));
    ASSERT_EQ(restarted.start(), PipeStartResult::Started);
    reply = client.transact(PipeCode::GetStatus, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 840u);
}

TEST_F(PipeServerTest, SeveralClientsAreServedAndUnknownCodesAnswered) {
    PipeServer server(fixture.context, localOnly(name));
    ASSERT_EQ(server.start(), PipeStartResult::Started);
    PipeClient first(name), second(name);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(first.transact(PipeCode::GetMulticast, 0)->size, 24u);
        EXPECT_EQ(second.transact(static_cast<PipeCode>(11), 0)->word(), kPipeUnknownCode);
    }
    // A two-byte message is a malformed request, not a reason to drop the connection.
    PipeMessage fragment;
    fragment.size = 2;
    EXPECT_EQ(first.transact(fragment)->word(), kPipeUnknownCode);
    EXPECT_EQ(first.transact(PipeCode::GetMulticast, 0)->size, 24u);
}

TEST_F(PipeServerTest, TcpPeersGetLengthPrefixedRepliesAndNeverWrite) {
    PipeServer server(fixture.context, withTcp(name));
    ASSERT_EQ(server.start(), PipeStartResult::Started);
    ASSERT_NE(server.tcpPort(), 0);
    PipeClient client("127.0.0.1", server.tcpPort());
    const std::optional<PipeMessage> reply = client.transact(PipeCode::GetTftpSettings, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size, 1868u);
    EXPECT_EQ(reply->value(), 1860);
    EXPECT_EQ(addClient(client).word(), kPipeRefused);
    EXPECT_EQ(fixture.clients.first(ClientList::Static), nullptr);
}

TEST_F(PipeServerTest, StopEndsIdleConnectionsAtOnce) {
    PipeServer server(fixture.context, withTcp(name));
    ASSERT_EQ(server.start(), PipeStartResult::Started);
    PipeClient local(name);
    PipeClient remote("127.0.0.1", server.tcpPort());
    ASSERT_TRUE(local.transact(PipeCode::GetSettings, 0));
    ASSERT_TRUE(remote.transact(PipeCode::GetSettings, 0));
    const auto started = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

TEST_F(PipeServerTest, SecondServerOnTheSameNameDoesNotStart) {
    PipeServer server(fixture.context, localOnly(name));
    ASSERT_EQ(server.start(), PipeStartResult::Started);
    PipeServer second(fixture.context, localOnly(name));
    EXPECT_EQ(second.start(), PipeStartResult::NameInUse);
}

// A TCP connection that sends nothing: true once the server has closed it.
bool closedByServer(int fd, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

platform::FileDescriptor connectTcp(std::uint16_t port) {
    platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = makeIpv4(127, 0, 0, 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
    return fd;
}

TEST_F(PipeServerTest, RemotePeersAreLimitedTimedOutAndNeverChangeState) {
    PeerLimits limits;
    limits.remoteConnections = 3;
    limits.remoteIdleMs = 300;
    PipeServerOptions options = withTcp(name);
    options.limits = limits;
    PipeServer server(fixture.context, options);
    ASSERT_EQ(server.start(), PipeStartResult::Started);

    PipeClient remote("127.0.0.1", server.tcpPort());
    EXPECT_EQ(remote.transact(PipeCode::GetSettings, 0)->word(), kPipeDone);
    for (PipeCode code : {PipeCode::ReloadProfiles, PipeCode::PurgeDynamic, PipeCode::SetSettings}) {
        PipeMessage request = *PipeMessage::make(toWire(code), 0, std::vector<std::uint8_t>(24));
        EXPECT_EQ(remote.transact(request)->word(), kPipeRefused) << toWire(code);
    }
    // Idle peers fill the remote slots: the next one is turned away at once, and the idle ones
    // are disconnected after the idle time, which frees the slots again.
    std::vector<platform::FileDescriptor> idle;
    idle.push_back(connectTcp(server.tcpPort()));
    idle.push_back(connectTcp(server.tcpPort()));
    platform::FileDescriptor extra = connectTcp(server.tcpPort());
    EXPECT_TRUE(closedByServer(extra.get(), 200));
    // Local peers have slots of their own.
    PipeClient local(name);
    EXPECT_EQ(local.transact(PipeCode::GetSettings, 0)->word(), kPipeDone);
    for (auto& fd : idle) EXPECT_TRUE(closedByServer(fd.get(), 2000));
    // The first client, idle since its last request, was disconnected too; its next request
    // goes out on a new connection. The server closes it in the same sweep as the others, but
    // perhaps after them: the test waits until that close has surely arrived, so that the
    // request does not cross it.
    std::this_thread::sleep_for(std::chrono::milliseconds(limits.remoteIdleMs));
    EXPECT_EQ(remote.transact(PipeCode::GetSettings, 0)->word(), kPipeDone) << "reconnected";
}

TEST(Permission, RootAndAdministratorGroupsMayChange) {
    EXPECT_TRUE(platform::userMayChange(0, 0));
    // A user unknown to the host whose primary group is none of the administrator groups.
    EXPECT_FALSE(platform::userMayChange(3999999, 3999999));
}

}  // namespace
}  // namespace tolmark

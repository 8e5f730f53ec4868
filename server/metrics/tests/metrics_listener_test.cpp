#include "server/metrics/metrics_listener.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/fakes.h"

namespace tolmark {
namespace {

TEST(MetricsListen, SettingReadsAsAddressAndPortOrSaysWhy) {
    struct Case {
        const char* text;
        bool ok;
        Ipv4 address;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1:9167", true, makeIpv4(127, 0, 0, 1), 9167},
        {" 0.0.0.0:1 ", true, 0, 1},
        {"10.99.0.1:65535", true, makeIpv4(10, 99, 0, 1), 65535},
        {"127.0.0.1", false, 0, 0},
        {"127.0.0.1:", false, 0, 0},
        {"127.0.0.1:0", false, 0, 0},
        {"127.0.0.1:65536", false, 0, 0},
        {"127.0.0.1:99999999999", false, 0, 0},
        {"127.0.0.1:91x", false, 0, 0},
        {"localhost:9167", false, 0, 0},
        {"127.0.0.300:9167", false, 0, 0},
        {"127.0.0.1 junk:9167", false, 0, 0},
        {":9167", false, 0, 0},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<MetricsAddress> parsed = parseMetricsListen(c.text, error);
        ASSERT_EQ(parsed.has_value(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(parsed->address, c.address) << c.text;
            EXPECT_EQ(parsed->port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

TEST(MetricsListener, ServesThePageAndRefusesWhatItCannotListenOn) {
    testing::CapturingLog log;
    std::atomic<int> scrapes{0};
    MetricsListener listener(log, [&] {
        ++scrapes;
        return std::string("tolmark_up 1\n");
    });
    ASSERT_TRUE(listener.start(MetricsAddress{makeIpv4(127, 0, 0, 1), 0}));
    ASSERT_NE(listener.port(), 0);

    httplib::Client client("127.0.0.1", listener.port());
    const httplib::Result page = client.Get("/metrics");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, "tolmark_up 1\n");
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const httplib::Result other = client.Get("/");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);
    EXPECT_EQ(scrapes.load(), 1);

    // The same port again, and a value that does not read: a line each, no listener.
    MetricsListener second(log, [] { return std::string(); });
    EXPECT_FALSE(second.start(MetricsAddress{makeIpv4(127, 0, 0, 1), listener.port()}));
    EXPECT_FALSE(second.start("127.0.0.1:port"));
    EXPECT_FALSE(second.start(""));
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_NE(log.lines[0].find("DHCP  Start   metrics on http://127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.lines[1].find("cannot listen"), std::string::npos);
    EXPECT_NE(log.lines[2].find("MetricsListen 127.0.0.1:port: the port is not a number"), std::string::npos);

    listener.stop();
    EXPECT_FALSE(client.Get("/metrics"));
    // Started and stopped at once: the stop must not wait for ever.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(listener.start(MetricsAddress{makeIpv4(127, 0, 0, 1), 0}));
        listener.stop();
    }
}

// Clients that would hold the page: one that sends its request a byte at a time and one that
// sends headers without end are cut off (each would keep sending for 30 s), and the scrape
// behind them is answered.
TEST(MetricsListener, ClientsThatSendSlowlyOrWithoutEndAreCutOff) {
    testing::CapturingLog log;
    MetricsListener listener(log, [] { return std::string("tolmark_up 1\n"); });
    ASSERT_TRUE(listener.start(MetricsAddress{makeIpv4(127, 0, 0, 1), 0}));
    auto connect = [&] {
        platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(listener.port());
        to.sin_addr.s_addr = makeIpv4(127, 0, 0, 1);
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        return fd;
    };
    // Sends until the listener closes the connection; false when it is still open after 30 s.
    auto sendUntilCut = [](int fd, std::string_view first, std::string_view each, std::chrono::milliseconds pause) {
        ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            if (::send(fd, each.data(), each.size(), MSG_NOSIGNAL) < 0) return true;
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(pause.count())) > 0) {
                char byte;
                if (::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0) return true;
            }
        }
        return false;
    };
    const std::string line(1000, 'b');
    platform::FileDescriptor flood = connect();
    EXPECT_TRUE(
        sendUntilCut(flood.get(), "GET /metrics HTTP/1.1\r\n", "X-A: " + line + "\r\n", std::chrono::milliseconds(0)));
    platform::FileDescriptor slow = connect();
    std::atomic<bool> slowCut{false};
    std::thread slowClient(
        [&] { slowCut = sendUntilCut(slow.get(), "GET /metrics HTTP/1.1\r\n", "X", std::chrono::milliseconds(200)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    httplib::Client client("127.0.0.1", listener.port());
    client.set_read_timeout(60, 0);
    const httplib::Result page = client.Get("/metrics");
    slowClient.join();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body, "tolmark_up 1\n");
    EXPECT_TRUE(slowCut.load());
}

}  // namespace
}  // namespace tolmark

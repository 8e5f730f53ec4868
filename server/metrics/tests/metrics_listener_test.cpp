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
#include <vector>

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
    MetricsListener listener(
        log,
        [&] {
            ++scrapes;
            return "tolmark_up " + std::to_string(scrapes.load()) + "\n";
        },
        std::chrono::hours(1));
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
    // Asked again while the page is fresh: the same page, not rendered again.
    const httplib::Result again = client.Get("/metrics");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, "tolmark_up 1\n");
    EXPECT_EQ(scrapes.load(), 1);
    {
        MetricsListener eager(
            log, [&] { return "tolmark_up " + std::to_string(++scrapes) + "\n"; }, std::chrono::milliseconds(0));
        ASSERT_TRUE(eager.start(MetricsAddress{makeIpv4(127, 0, 0, 1), 0}));
        httplib::Client eagerClient("127.0.0.1", eager.port());
        EXPECT_EQ(eagerClient.Get("/metrics")->body, "tolmark_up 2\n");
        EXPECT_EQ(eagerClient.Get("/metrics")->body, "tolmark_up 3\n");
        log.lines.erase(log.lines.begin() + 1);  // its start line
    }

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

platform::FileDescriptor connectTo(std::uint16_t port) {
    platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A connect into a full queue would wait minutes.
    const timeval limit{2, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = makeIpv4(127, 0, 0, 1);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    return fd;
}

// Sends a request as it stands and returns what comes back until the listener closes (at most
// five seconds).
std::string exchange(std::uint16_t port, std::string_view request) {
    platform::FileDescriptor fd = connectTo(port);
    ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
        pollfd wait{fd.get(), POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer;
}

std::string repeated(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out.append(text);
    return out;
}

// What a peer may send, and the status line of the only answer it gets.
TEST(MetricsListener, AnswersEachKindOfRequestOnceAndCloses) {
    testing::CapturingLog log;
    MetricsListener listener(log, [] { return std::string("tolmark_up 1\n"); });
    ASSERT_TRUE(listener.start(MetricsAddress{makeIpv4(127, 0, 0, 1), 0}));
    struct Case {
        std::string request;
        const char* status;  // the answer's first line; empty: closed without one
        bool page;
    };
    const Case cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET /metrics HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", "HTTP/1.1 200 OK", true},
        // Pipelined: the first is answered, the connection closes after it.
        {"GET /metrics HTTP/1.1\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", false},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 405 Method Not Allowed", false},
        {"DELETE /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", false},
        {"OPTIONS /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", false},
        {"POST /other HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 404 Not Found", false},
        {"BREW /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        {"GET /metrics/../etc HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", false},
        // The body a GET announces is not waited for.
        {"GET /metrics HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long", false},
        {"GET /metrics HTTP/1.1\r\n" + std::string(300, 'h') + ": " + std::string(100, 'v') + "\r\n\r\n",
         "HTTP/1.1 200 OK", true},
        {"\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        // Ranges are not served: thousands of them in one request would have the page copied
        // into the answer once for each.
        {"GET /metrics HTTP/1.1\r\nRange: bytes=0-12" + repeated(",0-12", 1500) + "\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nrange: bytes=2-4\r\nRANGE: bytes=0-1\nAccept: */*\r\n\r\n",
         "HTTP/1.1 200 OK", true},
        // Lines the library skips do not end its header block: a range after them is left out too.
        {"GET /metrics HTTP/1.1\r\n\nRange: bytes=0-12,0-12\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET /metrics HTTP/1.1\r\n\rX\r\nRange: bytes=0-12,0-12\r\n\r\n", "HTTP/1.1 200 OK", true},
        // A header line ending in "\n" alone before the block's end is answered, not waited on.
        {"GET /metrics HTTP/1.1\r\nHost: x\n\r\n", "HTTP/1.1 200 OK", true},
    };
    for (const Case& c : cases) {
        const std::string answer = exchange(listener.port(), c.request);
        const std::string label = c.request.substr(0, 60);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status) << label;
        if (answer.empty()) continue;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << label;
        const std::size_t pages = answer.find("tolmark_up 1\n") == std::string::npos ? 0 : 1;
        EXPECT_EQ(pages, c.page ? 1u : 0u) << label;
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << label;
        EXPECT_LT(answer.size(), 1000u) << label;
    }
}

// Peers that would hold the page: connections that send nothing, more of them than the
// listener keeps; one that sends its request a byte at a time; one that sends headers without
// end; one that never reads a page larger than the socket's buffers. Each is cut off or pushed
// out, and a scraper arriving behind them all is answered within a second.
TEST(MetricsListener, ClientsThatHoldConnectionsDoNotDelayAScrape) {
    testing::CapturingLog log;
    const std::string bigPage(8 << 20, '#');
    std::atomic<bool> big{false};
    // Every request renders the page afresh: the big one goes to the deaf peer alone.
    MetricsListener listener(
        log, [&] { return big ? bigPage : std::string("tolmark_up 1\n"); }, std::chrono::milliseconds(0));
    ASSERT_TRUE(listener.start(MetricsAddress{makeIpv4(127, 0, 0, 1), 0}));
    const std::uint16_t port = listener.port();
    // Sends until the listener closes the connection; false when it is still open after 30 s.
    auto sendUntilCut = [](int fd, std::string_view first, std::string_view each, std::chrono::milliseconds pause) {
        ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            // Never blocks: a connection the listener has not taken yet is not cut off.
            if (::send(fd, each.data(), each.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return true;
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, static_cast<int>(pause.count())) > 0) {
                char byte;
                if (::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0) return true;
            }
        }
        return false;
    };
    // A peer that asks for the big page and never reads it.
    big = true;
    platform::FileDescriptor deaf = connectTo(port);
    const std::string get = "GET /metrics HTTP/1.1\r\n\r\n";
    ::send(deaf.get(), get.data(), get.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    big = false;
    std::vector<platform::FileDescriptor> idle;
    idle.reserve(200);
    for (int i = 0; i < 200; ++i) idle.push_back(connectTo(port));
    const std::string line(1000, 'b');
    platform::FileDescriptor flood = connectTo(port);
    std::atomic<bool> floodCut{false};
    std::thread floodClient([&] {
        floodCut = sendUntilCut(flood.get(), get.substr(0, 23), "X-A: " + line + "\r\n", std::chrono::milliseconds(0));
    });
    platform::FileDescriptor slow = connectTo(port);
    std::atomic<bool> slowCut{false};
    std::thread slowClient(
        [&] { slowCut = sendUntilCut(slow.get(), get.substr(0, 23), "X", std::chrono::milliseconds(200)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    httplib::Client client("127.0.0.1", port);
    // Queued behind 200 idle peers of 2 seconds each, the scrape would take minutes.
    client.set_connection_timeout(3, 0);
    client.set_read_timeout(3, 0);
    const auto asked = std::chrono::steady_clock::now();
    const httplib::Result page = client.Get("/metrics");
    const auto took = std::chrono::steady_clock::now() - asked;
    slowClient.join();
    floodClient.join();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body, "tolmark_up 1\n");
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(slowCut.load());
    EXPECT_TRUE(floodCut.load());

    // Peers that open connections as fast as they can, each new one pushing out an older one:
    // scrapes among them are answered (a few may find the kernel's queue full and time out).
    std::atomic<bool> churning{true};
    const auto churn = [&] {
        std::vector<platform::FileDescriptor> held;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int i = 0; i < 50000 && churning && std::chrono::steady_clock::now() < end; ++i) {
            platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_in to{AF_INET, htons(port), {makeIpv4(127, 0, 0, 1)}, {}};
            (void)::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);  // in progress
            held.push_back(std::move(fd));
            if (held.size() > 200) held.erase(held.begin());
        }
    };
    std::vector<std::thread> churners;
    churners.reserve(4);
    for (int i = 0; i < 4; ++i) churners.emplace_back(churn);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int answered = 0;
    for (int i = 0; i < 10; ++i) {
        const httplib::Result again = client.Get("/metrics");
        answered += again && again->body == "tolmark_up 1\n" ? 1 : 0;
    }
    churning = false;
    for (std::thread& churner : churners) churner.join();
    EXPECT_GE(answered, 8);
}

}  // namespace
}  // namespace tolmark

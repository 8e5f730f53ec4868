#include "server/metrics/metrics_listener.h"

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/error_text.h"

namespace tolmark {

using platform::FileDescriptor;

namespace {

constexpr std::size_t kMetricsListenCapacity = 64;
// A scraper that stops reading holds the listener no longer than this.
constexpr int kTimeoutSeconds = 5;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// One connection, with a time limit and a size limit for the whole request and a time limit
// for the whole answer: the library's own limits hold for each read and write alone. The
// listener's stop ends it at once.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, int stop)
        : fd_(fd),
          stop_(stop),
          readBy_(Clock::now() + kRequestTime),
          writeBy_(Clock::now() + kRequestTime + kAnswerTime) {}

    bool is_readable() const override { return ready(POLLIN, readBy_); }
    bool is_writable() const override { return ready(POLLOUT, writeBy_); }

    ssize_t read(char* data, std::size_t size) override {
        if (received_ >= kMaxRequestBytes || !ready(POLLIN, readBy_)) return -1;
        const ssize_t n = ::recv(fd_, data, std::min(size, kMaxRequestBytes - received_), MSG_DONTWAIT);
        if (n > 0) received_ += static_cast<std::size_t>(n);
        return n;
    }
    ssize_t write(const char* data, std::size_t size) override {
        if (!ready(POLLOUT, writeBy_)) return -1;
        return ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { name(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { name(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kRequestTime = std::chrono::seconds(2);
    static constexpr auto kAnswerTime = std::chrono::seconds(kTimeoutSeconds);
    static constexpr std::size_t kMaxRequestBytes = 16384;

    bool ready(short events, Clock::time_point by) const {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - Clock::now()).count();
            if (left <= 0) return false;
            pollfd waits[2] = {{fd_, events, 0}, {stop_, POLLIN, 0}};
            const int n = ::poll(waits, 2, static_cast<int>(left));
            if (n > 0) return waits[1].revents == 0 && (waits[0].revents & (events | POLLHUP | POLLERR)) != 0;
            if (n == 0 || errno != EINTR) return false;
        }
    }
    void name(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (get(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET) return;
        ip = formatIpv4(address.sin_addr.s_addr).c_str();
        port = ntohs(address.sin_port);
    }

    int fd_;
    int stop_;
    Clock::time_point readBy_;
    Clock::time_point writeBy_;
    std::size_t received_ = 0;
};

}  // namespace

// The library's request handling, given connections one at a time by the listener's own loop.
class MetricsServer final : public httplib::Server {
public:
    ~MetricsServer() override {
        const socket_t socket = svr_sock_.exchange(INVALID_SOCKET);
        if (socket != INVALID_SOCKET) ::close(socket);
    }
    int listening() const { return svr_sock_; }
    void answer(int fd, int stop) {
        ConnectionStream stream(fd, stop);
        bool closed = false;
        process_request(stream, true, closed, nullptr);
    }
};

std::optional<MetricsAddress> parseMetricsListen(std::string_view text, std::string& error) {
    text = trimmed(text);
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        error = "no port (address:port, for example 127.0.0.1:9167)";
        return std::nullopt;
    }
    const std::string_view host = text.substr(0, colon);
    const ParsedIpv4 address = parseIpv4(host);
    if (!address.ok || address.end != host.size() || host.empty() || host.front() == ' ') {
        error = "not an IPv4 address before the port";
        return std::nullopt;
    }
    const std::string_view digits = text.substr(colon + 1);
    unsigned long port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || port > 65535) {
            port = 0;
            break;
        }
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (digits.empty() || port == 0 || port > 65535) {
        error = "the port is not a number from 1 to 65535";
        return std::nullopt;
    }
    return MetricsAddress{address.address, static_cast<std::uint16_t>(port)};
}

std::string readMetricsListen(const ConfigStore& store) {
    return store.readText(kGeneralSection, "MetricsListen", "", kMetricsListenCapacity);
}

MetricsListener::MetricsListener(LogSink& log, std::function<std::string()> render)
    : log_(log), render_(std::move(render)) {}

MetricsListener::~MetricsListener() { stop(); }

bool MetricsListener::start(std::string_view setting) {
    if (trimmed(setting).empty()) return false;
    std::string error;
    const std::optional<MetricsAddress> address = parseMetricsListen(setting, error);
    const std::string text(setting);
    if (!address) {
        log_.line(1, true, "DHCP  Error   MetricsListen %s: %s; no metrics listener\n", text.c_str(), error.c_str());
        return false;
    }
    return start(*address);
}

bool MetricsListener::start(const MetricsAddress& where) {
    stop();
    const AddressText host = formatIpv4(where.address);
    auto refuse = [&](int error) {
        log_.line(1, true, "DHCP  Error   MetricsListen %s:%u: cannot listen (%s); no metrics listener\n", host.c_str(),
                  static_cast<unsigned>(where.port), error != 0 ? errorText(error).c_str() : "bind failed");
        http_.reset();
        stop_.reset();
        return false;
    };
    stop_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_) return refuse(errno);
    http_ = std::make_unique<MetricsServer>();
    // SO_REUSEADDR alone: a second server asking for the same port must fail, not share it.
    http_->set_socket_options([](socket_t socket) {
        int one = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    });
    http_->set_payload_max_length(4096);
    http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(render_(), "text/plain; version=0.0.4; charset=utf-8");
    });

    int port = where.port;
    errno = 0;
    const bool bound =
        port == 0 ? (port = http_->bind_to_any_port(host.c_str())) > 0 : http_->bind_to_port(host.c_str(), port);
    if (!bound) return refuse(errno);
    port_ = static_cast<std::uint16_t>(port);
    thread_ = std::thread([this] { serve(); });
    log_.line(1, false, "DHCP  Start   metrics on http://%s:%u/metrics\n", host.c_str(), static_cast<unsigned>(port_));
    return true;
}

void MetricsListener::serve() {
    const int listening = http_->listening();
    for (;;) {
        pollfd waits[2] = {{listening, POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) break;
        if (waits[1].revents != 0) break;
        if (waits[0].revents == 0) continue;
        FileDescriptor connection(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!connection) {
            // Out of descriptors, say: the connection waits in the queue while others close.
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                pollfd stop{stop_.get(), POLLIN, 0};
                if (::poll(&stop, 1, 100) > 0) break;
            }
            continue;
        }
        http_->answer(connection.get(), stop_.get());
        ::shutdown(connection.get(), SHUT_RDWR);
    }
}

void MetricsListener::stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) < 0) {
            // An eventfd's counter cannot overflow from one write: the thread sees it.
        }
        thread_.join();
    }
    http_.reset();
    stop_.reset();
    port_ = 0;
}

}  // namespace tolmark

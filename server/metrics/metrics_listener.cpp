#include "server/metrics/metrics_listener.h"

#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/error_text.h"

namespace tolmark {

using platform::FileDescriptor;

namespace {

constexpr std::size_t kMetricsListenCapacity = 64;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

using Clock = std::chrono::steady_clock;

// Connections the listener keeps at once; when another comes, the oldest goes. A scraper sends
// its request as soon as it connects, so peers that hold connections idle push out only each
// other.
constexpr std::size_t kMaxConnections = 32;
// A connection has this long and this many bytes for its request, and then kAnswerTime for the
// answer: a peer that sends slowly or without end, or that never reads, is cut off.
constexpr auto kRequestTime = std::chrono::seconds(2);
constexpr auto kAnswerTime = std::chrono::seconds(5);
constexpr std::size_t kMaxRequestBytes = 16384;
// The kernel's queue of connections not yet accepted (the library asks for 5).
constexpr int kListenBacklog = 128;

// One connection: its request as received so far, then the answer as sent so far.
struct Connection {
    FileDescriptor fd;
    Clock::time_point opened;
    Clock::time_point by;  // the end of the request's time, then of the answer's
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool answering = false;
};

// True once the request's header block is complete (the library reads the body, if any, from
// what came with it). The library ends the block with a line of "\r\n" alone, after lines that
// may end in "\n" alone (which it skips); two "\n" in a row are taken as an end too, and the
// library answers what came. Only an end that reaches past `from` is looked for: a peer that
// sends a byte at a time has the request searched once, not once per byte.
bool headerComplete(const std::string& in, std::size_t from) {
    return in.find("\n\r\n", from) != std::string::npos || in.find("\n\n", from) != std::string::npos;
}

// True when the line at `at` is "\r\n" alone, where the library's header block ends.
bool headerEndAt(const std::string& in, std::size_t at) { return in.compare(at, 2, "\r\n") == 0; }

// Leaves out the header lines named "Range" (in any case), up to the line where the library
// ends the header block. The page is served whole: a request may name thousands of ranges, and
// the library would copy the page into the answer once for each (a few kilobytes asking for
// hundreds of megabytes). Lines the library skips (empty ones ending in "\n" alone, ones that
// begin with "\r") do not end the block for it, so they do not end the search either.
void dropRanges(std::string& in) {
    constexpr std::string_view kName = "range:";
    std::size_t line = in.find('\n');
    while (line != std::string::npos && ++line < in.size() && !headerEndAt(in, line)) {
        const std::size_t next = in.find('\n', line);
        const std::size_t length = next == std::string::npos ? in.size() - line : next + 1 - line;
        const bool range = in.size() - line >= kName.size() &&
                           std::equal(kName.begin(), kName.end(), in.begin() + static_cast<std::ptrdiff_t>(line),
                                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
        if (!range) {
            line = next;
            continue;
        }
        in.erase(line, length);
        line = line == 0 ? 0 : line - 1;
    }
}

// The library's side of a connection: the request as received, the answer into a buffer that
// the listener's loop sends as the peer reads it. The library never waits on the peer.
class BufferedStream final : public httplib::Stream {
public:
    explicit BufferedStream(Connection& c) : c_(c) {}

    bool is_readable() const override { return at_ < c_.in.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* data, std::size_t size) override {
        const std::size_t n = std::min(size, c_.in.size() - at_);
        std::memcpy(data, c_.in.data() + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* data, std::size_t size) override {
        c_.out.append(data, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { name(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { name(::getsockname, ip, port); }
    socket_t socket() const override { return c_.fd.get(); }

private:
    void name(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (get(c_.fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET)
            return;
        ip = formatIpv4(address.sin_addr.s_addr).c_str();
        port = ntohs(address.sin_port);
    }

    Connection& c_;
    std::size_t at_ = 0;
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
    // Writes the answer to the connection's request into its buffer.
    void answer(Connection& c) {
        BufferedStream stream(c);
        bool closed = false;
        process_request(stream, true, closed, nullptr);
    }
    // GET /metrics answers with the page; the page is only read, so the other methods on it
    // (OPTIONS included) are told which ones it takes.
    void route(std::function<const std::string&()> page) {
        set_payload_max_length(4096);
        Get("/metrics", [page = std::move(page)](const httplib::Request&, httplib::Response& response) {
            response.set_content(page(), "text/plain; version=0.0.4; charset=utf-8");
        });
        const auto notAllowed = [](const httplib::Request&, httplib::Response& response) {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
        };
        Post("/metrics", notAllowed);
        Put("/metrics", notAllowed);
        Delete("/metrics", notAllowed);
        Patch("/metrics", notAllowed);
        Options("/metrics", notAllowed);
    }
};

namespace {

// Takes what the peer sent, as far as the request's limit; once the request is complete (or
// the limit reached) its answer is made and what the peer sent is let go. True once answered.
bool take(Connection& c, MetricsServer& http, std::string_view bytes) {
    const std::size_t before = c.in.size();
    c.in.append(bytes.substr(0, kMaxRequestBytes - before));
    if (!headerComplete(c.in, before - std::min<std::size_t>(before, 2)) && c.in.size() < kMaxRequestBytes)
        return false;
    dropRanges(c.in);
    http.answer(c);
    c.in.clear();
    c.in.shrink_to_fit();
    c.answering = true;
    c.by = Clock::now() + kAnswerTime;
    return true;
}

}  // namespace

std::string answerMetricsRequest(const std::vector<std::string_view>& pieces, const std::string& page) {
    MetricsServer http;
    http.route([&page]() -> const std::string& { return page; });
    Connection c;
    for (std::string_view piece : pieces) {
        if (take(c, http, piece)) break;
    }
    return c.out;
}

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

MetricsListener::MetricsListener(LogSink& log, std::function<std::string()> render, std::chrono::milliseconds fresh,
                                 std::chrono::seconds retryEvery)
    : log_(log), render_(std::move(render)), fresh_(fresh), retryEvery_(retryEvery) {}

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

bool MetricsListener::retryHeldPort() {
    if (!held_) return false;
    quiet_ = true;
    const bool started = start(*held_);
    quiet_ = false;
    return started;
}

bool MetricsListener::start(const MetricsAddress& where) {
    stop();
    const AddressText host = formatIpv4(where.address);
    held_.reset();
    auto refuse = [&](int error) {
        http_.reset();
        stop_.reset();
        // Another program on the port (a second server, an exporter) may let go of it.
        if (error == EADDRINUSE && retryEvery_.count() > 0) {
            held_ = where;
            if (!quiet_)
                log_.line(1, true,
                          "DHCP  Error   MetricsListen %s:%u: the port is held by another program; tried again "
                          "every %u seconds\n",
                          host.c_str(), static_cast<unsigned>(where.port), static_cast<unsigned>(retryEvery_.count()));
            return false;
        }
        log_.line(1, true, "DHCP  Error   MetricsListen %s:%u: cannot listen (%s); no metrics listener\n", host.c_str(),
                  static_cast<unsigned>(where.port), error != 0 ? errorText(error).c_str() : "bind failed");
        return false;
    };
    stop_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_) return refuse(errno);
    page_.clear();
    http_ = std::make_unique<MetricsServer>();
    // SO_REUSEADDR alone: a second server asking for the same port must fail, not share it.
    http_->set_socket_options([](socket_t socket) {
        int one = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    });
    http_->route([this]() -> const std::string& {
        const auto now = std::chrono::steady_clock::now();
        if (page_.empty() || now - renderedAt_ >= fresh_) {
            page_ = render_();
            renderedAt_ = now;
        }
        return page_;
    });

    int port = where.port;
    errno = 0;
    const bool bound =
        port == 0 ? (port = http_->bind_to_any_port(host.c_str())) > 0 : http_->bind_to_port(host.c_str(), port);
    if (!bound) return refuse(errno);
    port_ = static_cast<std::uint16_t>(port);
    // Listening again only sets the length of the queue. The loop takes what is queued until
    // the queue is empty, so the socket must not wait.
    ::listen(http_->listening(), kListenBacklog);
    ::fcntl(http_->listening(), F_SETFL, ::fcntl(http_->listening(), F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { serve(); });
    log_.line(1, false, "DHCP  Start   metrics on http://%s:%u/metrics\n", host.c_str(), static_cast<unsigned>(port_));
    return true;
}

namespace {

// Sends what the peer will take of the answer. False once it is all sent, or the peer is gone.
bool sendSome(Connection& c) {
    const ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.sent += static_cast<std::size_t>(n);
    return c.sent < c.out.size();
}

// Receives what the peer sent; when the request is complete (or the limit reached), the answer
// is made and as much of it sent as the socket takes at once (a page goes out whole as a rule,
// before new connections can push this one out). False when the connection is to close.
bool receive(Connection& c, MetricsServer& http) {
    char buffer[4096];
    const std::size_t room = std::min(sizeof buffer, kMaxRequestBytes - c.in.size());
    const ssize_t n = ::recv(c.fd.get(), buffer, room, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
    if (n < 0 || !take(c, http, {buffer, static_cast<std::size_t>(n)})) return true;
    return !c.out.empty() && sendSome(c);
}

// The connection a new one pushes out: the oldest that has sent nothing yet, so that a flood of
// idle connections pushes out its own and not a scrape under way; the oldest of all when every
// one has begun its request. A request that arrived since the last wait is taken (and answered)
// first.
std::vector<Connection>::iterator leastUseful(std::vector<Connection>& connections, MetricsServer& http) {
    const auto older = [](const Connection& a, const Connection& b) { return a.opened < b.opened; };
    for (;;) {
        auto oldest = connections.end();
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            if (it->answering || !it->in.empty()) continue;
            if (oldest == connections.end() || older(*it, *oldest)) oldest = it;
        }
        if (oldest == connections.end()) return std::min_element(connections.begin(), connections.end(), older);
        char byte;
        if (::recv(oldest->fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 1 || !receive(*oldest, http)) return oldest;
    }
}

void drop(Connection& c) {
    // What the peer sent beyond its request (pipelined requests) is read away first: closing
    // with it unread would reset the connection and could take the answer with it.
    char buffer[4096];
    for (int i = 0; i < 4 && ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(c.fd.get(), SHUT_RDWR);
    c.fd.reset();
}

}  // namespace

// One thread answers every connection: it waits for all of them at once, so a connection that
// is slow, silent or full holds only its own place.
void MetricsListener::serve() {
    const int listening = http_->listening();
    std::vector<Connection> connections;
    connections.reserve(kMaxConnections);
    std::vector<pollfd> waits;
    for (;;) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = now + std::chrono::hours(1);
        waits.assign({{stop_.get(), POLLIN, 0}, {listening, POLLIN, 0}});
        for (const Connection& c : connections) {
            waits.push_back({c.fd.get(), static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
            next = std::min(next, c.by);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        if (::poll(waits.data(), waits.size(), static_cast<int>(std::max<std::int64_t>(wait, 0))) < 0 && errno != EINTR)
            break;
        if (waits[0].revents != 0) break;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            const short events = waits[i + 2].revents;
            bool open = Clock::now() < c.by;
            if (open && events != 0) open = c.answering ? sendSome(c) : receive(c, *http_);
            if (!open) drop(c);
        }
        std::erase_if(connections, [](const Connection& c) { return !c.fd; });
        if (waits[1].revents == 0) continue;
        // Everything queued, up to the limit at a time; when full, the oldest gives way.
        for (std::size_t taken = 0; taken < kMaxConnections; ++taken) {
            FileDescriptor fd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd) {
                // Out of descriptors, say: the connections wait in the queue while others close.
                if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                    pollfd stop{stop_.get(), POLLIN, 0};
                    if (::poll(&stop, 1, 100) > 0) return;
                }
                break;
            }
            if (connections.size() == kMaxConnections) {
                const auto pushedOut = leastUseful(connections, *http_);
                drop(*pushedOut);
                connections.erase(pushedOut);
            }
            Connection& c = connections.emplace_back();
            c.fd = std::move(fd);
            c.opened = Clock::now();
            c.by = c.opened + kRequestTime;
        }
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

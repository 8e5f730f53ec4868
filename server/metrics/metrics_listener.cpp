#include "server/metrics/metrics_listener.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/error_text.h"

namespace tolmark {
namespace {

constexpr std::size_t kMetricsListenCapacity = 64;
// A scraper that stops sending or reading holds the one worker no longer than this.
constexpr time_t kTimeoutSeconds = 5;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

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
    http_ = std::make_unique<httplib::Server>();
    // One worker: scrapes are answered one at a time. The library owns the queue it is handed.
    http_->new_task_queue = [] { return new httplib::ThreadPool(1); };
    // SO_REUSEADDR alone: a second server asking for the same port must fail, not share it.
    http_->set_socket_options([](socket_t socket) {
        int one = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    });
    http_->set_read_timeout(kTimeoutSeconds, 0);
    http_->set_write_timeout(kTimeoutSeconds, 0);
    // One request per connection: a scraper that keeps its connection open (Prometheus does)
    // would otherwise hold the only worker between its scrapes, and every other reader of the
    // page would wait for it.
    http_->set_keep_alive_max_count(1);
    http_->set_payload_max_length(4096);
    http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(render_(), "text/plain; version=0.0.4; charset=utf-8");
    });

    const AddressText host = formatIpv4(where.address);
    int port = where.port;
    errno = 0;
    const bool bound =
        port == 0 ? (port = http_->bind_to_any_port(host.c_str())) > 0 : http_->bind_to_port(host.c_str(), port);
    if (!bound) {
        const int error = errno;
        log_.line(1, true, "DHCP  Error   MetricsListen %s:%u: cannot listen (%s); no metrics listener\n", host.c_str(),
                  static_cast<unsigned>(where.port), error != 0 ? errorText(error).c_str() : "bind failed");
        http_.reset();
        return false;
    }
    port_ = static_cast<std::uint16_t>(port);
    listenEnded_.store(false);
    thread_ = std::thread([this] {
        http_->listen_after_bind();
        listenEnded_.store(true);
    });
    log_.line(1, false, "DHCP  Start   metrics on http://%s:%u/metrics\n", host.c_str(), static_cast<unsigned>(port_));
    return true;
}

void MetricsListener::stop() {
    if (!thread_.joinable()) {
        http_.reset();
        return;
    }
    // The library's stop only ends a loop that has begun: wait for it to begin (or to have
    // ended on its own), then stop it once.
    while (!http_->is_running() && !listenEnded_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!listenEnded_.load()) http_->stop();
    thread_.join();
    http_.reset();
    port_ = 0;
}

}  // namespace tolmark

#pragma once
// The metrics page: an HTTP listener (cpp-httplib) that answers GET /metrics with the server's
// counters in the Prometheus text format. Off unless "MetricsListen" of the general section
// holds an address and a port ("127.0.0.1:9167"). One thread of its own waits for all its
// connections at once (at most 32; a new one pushes out the oldest that has sent nothing), so a
// scrape never runs on a thread of the server's request path and never waits behind another
// peer. A connection has two
// seconds and 16 KiB for its request and five seconds for the answer, which goes out of a buffer
// as the peer reads it: a client that sends slowly, sends without end, never reads or opens
// connections by the hundred holds one place for that long at most, and the engine's lock is
// taken only while the page is written into the buffer.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/file_descriptor.h"
#include "base/ipv4.h"
#include "common/log_sink.h"
#include "config/config_store.h"

namespace tolmark {

struct MetricsAddress {
    Ipv4 address = 0;
    std::uint16_t port = 0;
};

// "MetricsListen": an IPv4 address, ":" and a port from 1 to 65535, nothing else (blanks around
// the whole are allowed). error says what is wrong with a value that does not read so.
std::optional<MetricsAddress> parseMetricsListen(std::string_view text, std::string& error);
// The setting as stored; empty when it is not set.
std::string readMetricsListen(const ConfigStore& store);

// The answer the listener sends to a connection on which the peer sent these pieces, one read
// each: taken as the listener's loop takes them (up to the request's size limit, answered once
// the header block is complete or the limit reached, what follows left unread), with page as
// the page. Empty when the request never completed. No socket, no thread (tests, fuzzing).
std::string answerMetricsRequest(const std::vector<std::string_view>& pieces, const std::string& page);

class MetricsServer;

class MetricsListener {
public:
    // render: the page's text, called on the listener's thread. A page rendered less than
    // fresh ago is sent again as it stands: counting the pools walks their leases under the
    // engine's lock, and scrapers that ask many times a second would make the request path pay
    // for every one (Prometheus scrapes every 15 seconds by default, nothing needs it fresher).
    // retryEvery: how often the owner calls retryHeldPort (0: it does not); the log says so
    // when another program holds the port.
    MetricsListener(LogSink& log, std::function<std::string()> render,
                    std::chrono::milliseconds fresh = std::chrono::seconds(1),
                    std::chrono::seconds retryEvery = std::chrono::seconds(0));
    ~MetricsListener();
    MetricsListener(const MetricsListener&) = delete;
    MetricsListener& operator=(const MetricsListener&) = delete;

    // Reads the setting's value: nothing to do when it is empty; a value that does not read as
    // an address and port, or one that cannot be bound, is logged and leaves the listener off.
    // True when listening.
    bool start(std::string_view setting);
    bool start(const MetricsAddress& address);
    void stop();
    // The last start found the port held by another program (and retries are made).
    bool waitingForPort() const { return held_.has_value(); }
    // While waitingForPort: starts once the port is free; logs nothing while it stays held.
    // True when listening.
    bool retryHeldPort();
    // The bound port (port 0 asks for any free one; tests use that).
    std::uint16_t port() const { return port_; }

private:
    void serve();

    LogSink& log_;
    std::function<std::string()> render_;
    std::chrono::milliseconds fresh_;
    std::chrono::seconds retryEvery_;
    std::optional<MetricsAddress> held_;
    bool quiet_ = false;  // a retry: the held port is not logged again
    // Only the listener's thread touches these.
    std::string page_;
    std::chrono::steady_clock::time_point renderedAt_{};
    std::unique_ptr<MetricsServer> http_;
    std::thread thread_;
    std::uint16_t port_ = 0;
    platform::FileDescriptor stop_;  // an eventfd: readable once the listener is to stop
};

}  // namespace tolmark

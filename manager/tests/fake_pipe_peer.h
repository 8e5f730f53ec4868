#pragma once
// A stand-in for the server on a private pipe name: it answers each request with the next of the
// replies it was given, or with what an answering function makes of the request, keeping the
// requests for the test to look at. When the replies run out, or the function gives none, it
// closes the connection, as a server that went away; the next connection is served again (by
// the function, which may answer then: the server came back).

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/pipe_protocol.h"

namespace tolmark::manager {

class FakePipePeer {
public:
    using Answer = std::function<std::optional<PipeMessage>(const PipeMessage& request)>;

    explicit FakePipePeer(std::vector<PipeMessage> replies)
        : FakePipePeer([replies = std::move(replies), next = std::size_t{0}](const PipeMessage&) mutable {
              return next < replies.size() ? std::optional<PipeMessage>(replies[next++]) : std::nullopt;
          }) {}
    explicit FakePipePeer(Answer answer)
        : name_("dorvane-fake-" + std::to_string(::getpid())), answer_(std::move(answer)) {
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        socklen_t length = 0;
        if (listener_ < 0 || !fillAbstractAddress(name_, address, length) ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 1) != 0)
            return;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakePipePeer() {
        if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) ::close(listener_);
    }
    FakePipePeer(const FakePipePeer&) = delete;
    FakePipePeer& operator=(const FakePipePeer&) = delete;

    const std::string& name() const { return name_; }
    bool listening() const { return thread_.joinable(); }
    // Read after the client is done, or between its requests: the peer writes them while it
    // serves. The peer goes only after its client closed the connection (the client goes first).
    const std::vector<PipeMessage>& requests() const { return requests_; }
    // The requests of one code, in order.
    std::vector<PipeMessage> requests(PipeCode code) const {
        std::vector<PipeMessage> out;
        for (const PipeMessage& m : requests_)
            if (m.word() == toWire(code)) out.push_back(m);
        return out;
    }

private:
    void serve() {
        for (;;) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) return;  // the listener was shut down
            for (;;) {
                PipeMessage request;
                const ssize_t got = ::recv(connection, request.bytes.data(), request.bytes.size(), 0);
                if (got <= 0) break;
                request.size = static_cast<std::size_t>(got);
                requests_.push_back(request);
                const std::optional<PipeMessage> reply = answer_(request);
                if (!reply || ::send(connection, reply->bytes.data(), reply->size, MSG_NOSIGNAL) < 0) break;
            }
            ::close(connection);
        }
    }

    std::string name_;
    Answer answer_;
    std::vector<PipeMessage> requests_;
    int listener_ = -1;
    std::thread thread_;
};

}  // namespace tolmark::manager

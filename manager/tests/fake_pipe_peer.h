#pragma once
// A stand-in for the server on a private pipe name: it takes one connection and answers each
// request with the next of the replies it was given, keeping the requests for the test to look
// at. When the replies run out it closes the connection, as a server that went away.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/pipe_protocol.h"

namespace tolmark::manager {

class FakePipePeer {
public:
    explicit FakePipePeer(std::vector<PipeMessage> replies)
        : name_("dorvane-fake-" + std::to_string(::getpid())), replies_(std::move(replies)) {
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
    // Read after the client is done: the peer writes them while it serves.
    const std::vector<PipeMessage>& requests() const { return requests_; }

private:
    void serve() {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        for (const PipeMessage& reply : replies_) {
            PipeMessage request;
            const ssize_t got = ::recv(connection, request.bytes.data(), request.bytes.size(), 0);
            if (got <= 0) break;
            request.size = static_cast<std::size_t>(got);
            requests_.push_back(request);
            if (::send(connection, reply.bytes.data(), reply.size, MSG_NOSIGNAL) < 0) break;
        }
        ::close(connection);
    }

    std::string name_;
    std::vector<PipeMessage> replies_;
    std::vector<PipeMessage> requests_;
    int listener_ = -1;
    std::thread thread_;
};

}  // namespace tolmark::manager

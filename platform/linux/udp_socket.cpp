#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/udp_socket.h"

namespace tolmark::platform {
namespace {

sockaddr_in makeAddress(Ipv4 address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;  // both in network order
    return sa;
}

FileDescriptor newUdpSocket() { return FileDescriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

bool enableBroadcast(int fd) {
    int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

}  // namespace

std::uint16_t UdpSocket::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool UdpSocket::enablePacketInfo() {
    int on = 1;
    return ::setsockopt(fd_.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

bool UdpSocket::setNonBlocking() {
    int flags = ::fcntl(fd_.get(), F_GETFL);
    return flags >= 0 && ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

long UdpSocket::receive(std::uint8_t* buffer, std::size_t capacity, DatagramInfo& info, bool dontWait) {
    sockaddr_in from{};
    iovec iov{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(fd_.get(), &msg, MSG_TRUNC | (dontWait ? MSG_DONTWAIT : 0));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    info = DatagramInfo{};
    info.length = static_cast<std::size_t>(n);
    info.source = from.sin_addr.s_addr;
    info.sourcePort = ntohs(from.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            info.destination = pi.ipi_addr.s_addr;
            info.ifIndex = pi.ipi_ifindex;
        }
    }
    // A datagram longer than the buffer is cut; report only what was stored.
    return static_cast<long>(static_cast<std::size_t>(n) < capacity ? static_cast<std::size_t>(n) : capacity);
}

bool UdpSocket::send(const std::uint8_t* data, std::size_t length, Ipv4 destination, std::uint16_t port,
                     Ipv4 fromAddress, int ifIndex) {
    sockaddr_in to = makeAddress(destination, port);
    iovec iov{const_cast<std::uint8_t*>(data), length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fromAddress != 0 || ifIndex != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo pi{};
        pi.ipi_ifindex = ifIndex;
        pi.ipi_spec_dst.s_addr = fromAddress;
        std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
    }
    ssize_t n;
    do {
        n = ::sendmsg(fd_.get(), &msg, 0);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length);
}

bool UdpSocket::connect(Ipv4 destination, std::uint16_t port) {
    sockaddr_in to = makeAddress(destination, port);
    return ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

bool UdpSocket::sendParts(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* data,
                          std::size_t dataLength, Ipv4 destination, std::uint16_t port) {
    sockaddr_in to = makeAddress(destination, port);
    iovec iov[2] = {{const_cast<std::uint8_t*>(head), headLength}, {const_cast<std::uint8_t*>(data), dataLength}};
    msghdr msg{};
    if (destination != 0) {
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
    }
    msg.msg_iov = iov;
    msg.msg_iovlen = dataLength != 0 ? 2 : 1;
    ssize_t n;
    do {
        n = ::sendmsg(fd_.get(), &msg, 0);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(headLength + dataLength);
}

namespace {

constexpr std::size_t kMaxSegments = 64;           // what every kernel with UDP_SEGMENT takes
constexpr std::size_t kMaxSegmentedBytes = 65000;  // below the largest UDP payload

std::size_t datagramLength(const DatagramParts& d) { return d.headLength + d.dataLength; }

// How many datagrams from the first can go as one segmented send: those of the first one's
// size, then at most one shorter; 1 when segmentation gains nothing.
std::size_t segmentRun(std::span<const DatagramParts> datagrams) {
    const std::size_t segment = datagramLength(datagrams.front());
    const std::size_t limit = std::min(kMaxSegments, kMaxSegmentedBytes / std::max<std::size_t>(segment, 1));
    std::size_t count = 1;
    while (count < datagrams.size() && count < limit) {
        const std::size_t length = datagramLength(datagrams[count]);
        if (length > segment) break;
        ++count;
        if (length < segment) break;
    }
    return count;
}

bool segmentationRefused(int error) {
    return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

}  // namespace

bool UdpSocket::sendSegmented(std::span<const DatagramParts> datagrams, std::size_t segment, Ipv4 destination,
                              std::uint16_t port) {
    sockaddr_in to = makeAddress(destination, port);
    iovec iov[2 * kMaxSegments];
    std::size_t parts = 0;
    std::size_t total = 0;
    for (const DatagramParts& d : datagrams) {
        iov[parts++] = {const_cast<std::uint8_t*>(d.head), d.headLength};
        if (d.dataLength != 0) iov[parts++] = {const_cast<std::uint8_t*>(d.data), d.dataLength};
        total += datagramLength(d);
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr msg{};
    if (destination != 0) {
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
    }
    msg.msg_iov = iov;
    msg.msg_iovlen = parts;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_UDP;
    cm->cmsg_type = UDP_SEGMENT;
    cm->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(segment);
    std::memcpy(CMSG_DATA(cm), &size, sizeof size);
    ssize_t n;
    do {
        n = ::sendmsg(fd_.get(), &msg, 0);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(total)) return true;
    if (n >= 0) errno = EMSGSIZE;
    return false;
}

std::size_t UdpSocket::sendEach(std::span<const DatagramParts> datagrams, Ipv4 destination, std::uint16_t port) {
    // A window at a time: the arrays stay on the stack.
    constexpr std::size_t kBatch = 64;
    sockaddr_in to = makeAddress(destination, port);
    std::size_t done = 0;
    while (done < datagrams.size()) {
        mmsghdr messages[kBatch];
        iovec iov[kBatch][2];
        const std::size_t count = std::min(kBatch, datagrams.size() - done);
        for (std::size_t i = 0; i < count; ++i) {
            const DatagramParts& d = datagrams[done + i];
            iov[i][0] = {const_cast<std::uint8_t*>(d.head), d.headLength};
            iov[i][1] = {const_cast<std::uint8_t*>(d.data), d.dataLength};
            messages[i] = mmsghdr{};
            if (destination != 0) {
                messages[i].msg_hdr.msg_name = &to;
                messages[i].msg_hdr.msg_namelen = sizeof to;
            }
            messages[i].msg_hdr.msg_iov = iov[i];
            messages[i].msg_hdr.msg_iovlen = d.dataLength != 0 ? 2 : 1;
        }
        const int n = ::sendmmsg(fd_.get(), messages, static_cast<unsigned>(count), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done;
        for (int i = 0; i < n; ++i) {
            // A datagram cut short counts as failed.
            if (messages[i].msg_len != datagramLength(datagrams[done + static_cast<std::size_t>(i)])) {
                errno = EMSGSIZE;
                return done + static_cast<std::size_t>(i);
            }
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t UdpSocket::sendBatch(std::span<const DatagramParts> datagrams, Ipv4 destination, std::uint16_t port) {
    std::size_t done = 0;
    while (done < datagrams.size()) {
        const std::span<const DatagramParts> rest = datagrams.subspan(done);
        const std::size_t run = segmentation_ ? segmentRun(rest) : 1;
        if (run > 1) {
            if (sendSegmented(rest.first(run), datagramLength(rest.front()), destination, port)) {
                done += run;
                continue;
            }
            if (!segmentationRefused(errno)) return done;
            segmentation_ = false;  // this system cannot: one datagram per message from now on
        }
        // Up to the next run that segmentation would take, one message each.
        std::size_t each = 1;
        while (segmentation_ && each < rest.size() && segmentRun(rest.subspan(each)) == 1) ++each;
        if (!segmentation_) each = rest.size();
        const std::size_t sent = sendEach(rest.first(each), destination, port);
        done += sent;
        if (sent < each) return done;
    }
    return done;
}

long UdpSocket::receiveConnected(std::uint8_t* buffer, std::size_t capacity, bool dontWait) {
    ssize_t n;
    do {
        n = ::recv(fd_.get(), buffer, capacity, dontWait ? MSG_DONTWAIT : 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool UdpSocket::setMulticastTtl(int ttl) {
    const int value = ttl;
    return ::setsockopt(fd_.get(), IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value) == 0;
}

bool UdpSocket::sharePort() {
    int on = 1;
    return ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
}

namespace {

// A socket with the socket option `reuse` set before it binds address:port.
UdpSocket openReusingUdpSocket(int reuse, Ipv4 address, std::uint16_t port) {
    FileDescriptor fd = newUdpSocket();
    if (!fd) return {};
    int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, reuse, &on, sizeof on) != 0) return {};
    sockaddr_in sa = makeAddress(address, port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return {};
    if (!enableBroadcast(fd.get())) return {};
    return UdpSocket(std::move(fd));
}

}  // namespace

UdpSocket openGroupUdpSocket(Ipv4 address, std::uint16_t port) {
    return openReusingUdpSocket(SO_REUSEPORT, address, port);
}

UdpSocket openSharedUdpSocket(Ipv4 address, std::uint16_t port) {
    return openReusingUdpSocket(SO_REUSEADDR, address, port);
}

UdpSocket openBoundUdpSocket(Ipv4 address, std::uint16_t port) {
    FileDescriptor fd = newUdpSocket();
    if (!fd) return {};
    sockaddr_in sa = makeAddress(address, port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return {};
    if (!enableBroadcast(fd.get())) return {};
    return UdpSocket(std::move(fd));
}

UdpSocket openBoundUdpSocketInRange(Ipv4 address, std::uint16_t first, std::uint16_t last, std::uint16_t* boundPort) {
    if (first > last) return {};
    FileDescriptor fd = newUdpSocket();
    if (!fd) return {};
    for (unsigned port = first; port <= last; ++port) {
        sockaddr_in sa = makeAddress(address, static_cast<std::uint16_t>(port));
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            if (!enableBroadcast(fd.get())) return {};
            if (boundPort != nullptr) *boundPort = static_cast<std::uint16_t>(port);
            return UdpSocket(std::move(fd));
        }
        if (errno != EADDRINUSE) return {};
    }
    return {};
}

std::vector<Ipv4> udpPortHolders(std::uint16_t port) {
    std::vector<Ipv4> holders;
    // Lines of "sl local_address rem_address ...", the local address as the kernel's 32-bit word
    // (the address's bytes in memory order) and the port in host order, both in hex.
    std::FILE* table = std::fopen("/proc/self/net/udp", "re");
    if (table == nullptr) return holders;
    char line[512];
    while (std::fgets(line, sizeof line, table) != nullptr) {
        unsigned address = 0;
        unsigned localPort = 0;
        if (std::sscanf(line, " %*u: %8X:%4X", &address, &localPort) != 2 || localPort != port) continue;
        const Ipv4 holder = static_cast<Ipv4>(address);
        if (std::find(holders.begin(), holders.end(), holder) == holders.end()) holders.push_back(holder);
    }
    std::fclose(table);
    return holders;
}

}  // namespace tolmark::platform

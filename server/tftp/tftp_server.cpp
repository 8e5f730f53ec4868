#include "server/tftp/tftp_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>

#include "server/tftp/packets.h"
#include "server/tftp/socket_channel.h"

namespace tolmark::tftp {
namespace {

constexpr std::int64_t kKeepEndedSeconds = 5;
// A transfer that ended while nobody read the list stays longer: the manager reads it every
// 5 seconds, and a read a little late would otherwise never see a short transfer at all. Kept so
// only while the list is short, so that a burst of transfers with no reader costs no more than
// this many records for a minute.
constexpr std::int64_t kKeepUnreadSeconds = 60;
constexpr std::size_t kMaxListedForUnread = 256;

// Adds up the data bytes a transfer moves, for the server's counters: kept in the transfer's
// own thread and added to the counters once, when the transfer ends. Notes the packet with which
// the client ends the transfer the moment it is taken from the socket, for the listener
// (clientEndWaiting).
class CountingChannel final : public Channel {
public:
    CountingChannel(Channel& inner, Transfer& transfer) : inner_(inner), transfer_(transfer) {}
    bool send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
        sentBytes += data.size();
        return inner_.send(header, data);
    }
    bool sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
        sentBytes += data.size();
        return inner_.sendToGroup(header, data);
    }
    // A window leaves in one call of the socket's, as without the counting.
    std::size_t sendBatch(std::span<const Outgoing> datagrams, bool toGroup) override {
        const std::size_t sent = inner_.sendBatch(datagrams, toGroup);
        for (std::size_t i = 0; i < sent && i < datagrams.size(); ++i) sentBytes += datagrams[i].data.size();
        return sent;
    }
    Wait receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) override {
        const Wait wait = inner_.receive(timeoutMs, buffer, length);
        // Written once, not with every packet: the flag's cache line is not taken from the
        // listener, which reads it, for each block.
        if (wait == Wait::Packet && !transfer_.clientAnswered.load(std::memory_order_relaxed))
            transfer_.clientAnswered.store(true);
        if (wait == Wait::Packet && length <= buffer.size() && clientEnds(transfer_, buffer.first(length)))
            transfer_.clientEnded.store(true);
        if (wait == Wait::Packet && length > kHeaderSize && length <= buffer.size() && buffer[0] == 0 &&
            buffer[1] == kOpData)
            receivedBytes += length - kHeaderSize;
        return wait;
    }
    std::int64_t nowMs() const override { return inner_.nowMs(); }
    int lastError() const override { return inner_.lastError(); }

    std::uint64_t sentBytes = 0;
    std::uint64_t receivedBytes = 0;

private:
    Channel& inner_;
    Transfer& transfer_;
};
constexpr std::int32_t kModeManagedOnly = 1;
constexpr std::uint64_t kMaxBlocksWithoutLargeFiles = 65535;

// A request's source is one host. "This network", multicast, the reserved block and the limited
// broadcast address are none; nor is the broadcast address of a network, which only the system's
// routes know: a socket without broadcast permission cannot be connected to it. So no answer
// to a forged source ever reaches every host of a network.
bool singleHost(Ipv4 address) {
    const std::uint32_t a = ipv4ToHostOrder(address);
    return (a >> 24) != 0 && (a >> 28) < 0xE;
}
bool forbidBroadcast(const platform::UdpSocket& socket) {
    const int off = 0;
    return ::setsockopt(socket.fd(), SOL_SOCKET, SO_BROADCAST, &off, sizeof off) == 0;
}

bool directoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "Get/octet", "Put/ascii", or "Error" for anything but a read or write request.
void directionText(char (&text)[16], const TransferRequest& request) {
    const char* direction = directionName(request.opcode);
    if (*direction == 0) {
        std::snprintf(text, sizeof text, "Error");
    } else {
        std::snprintf(text, sizeof text, "%s/%s", direction, modeName(request.mode));
    }
}

}  // namespace

std::int32_t readMaxWindow(const ConfigStore& store) {
    return store.readInt(kGeneralSection, "TFTPMaxWindow", kDefaultMaxWindow);
}

namespace {

// One address may hold a quarter of the transfer slots ("TFTPClients" plus 1), at least two.
std::int32_t slotsPerAddress(const TftpSettings& settings) {
    return std::max<std::int32_t>(2, (std::max(settings.clients, 0) + 1) / 4);
}

// The first bytes of the packet that waits on a transfer's data socket (connected: it is the
// client's): their count, or -1 when none waits.
long peekWaiting(const Transfer& transfer, std::uint8_t (&header)[kHeaderSize]) {
    std::lock_guard<std::mutex> guard(transfer.socketLock);
    if (!transfer.socketOpen.load()) return -1;
    return ::recv(transfer.socket.fd(), header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
}

// The client has ended the transfer (an ERROR, or the ACK of the file's final block), which the
// transfer's thread may not have taken in yet.
bool clientEndWaiting(const Transfer& transfer) {
    std::uint8_t header[kHeaderSize];
    if (peekWaiting(transfer, header) == sizeof header && clientEnds(transfer, header)) return true;
    // Or the thread has just taken it in (and logs it before the transfer has its outcome).
    return transfer.clientEnded.load();
}

// The client has sent something to the transfer's data port, taken in by the thread or not.
bool clientAnswered(const Transfer& transfer) {
    std::uint8_t header[kHeaderSize];
    return peekWaiting(transfer, header) >= 0 || transfer.clientAnswered.load();
}

// A digest (64-bit FNV-1a) of a request's bytes.
std::uint64_t requestDigest(std::span<const std::uint8_t> datagram) {
    std::uint64_t digest = 14695981039346656037ull;
    for (const std::uint8_t byte : datagram) digest = (digest ^ byte) * 1099511628211ull;
    return digest;
}

}  // namespace

TftpServer::TftpServer(TftpServerEnvironment environment) : env_(std::move(environment)) {}

TftpServer::~TftpServer() { stop(); }

bool TftpServer::start() {
    std::lock_guard<std::mutex> guard(control_);
    const TftpSettings settings = env_.settings.tftp();
    if (settings.enable == 0 || listener_.joinable()) return true;
    socket_ = platform::openBoundUdpSocket(env_.bindAddress, static_cast<std::uint16_t>(settings.port));
    if (!socket_.valid() || !forbidBroadcast(socket_)) {
        socket_.close();
        env_.log.line(1, true, "TFTP  Error   bind on port %u failed\n", static_cast<unsigned>(settings.port));
        return false;
    }
    const std::int32_t maxWindow = env_.maxWindow ? env_.maxWindow() : kDefaultMaxWindow;
    maxWindow_ = std::clamp(maxWindow, 0, kMaxWindowLimit);
    if (maxWindow_ != maxWindow)
        env_.log.line(1, false, "TFTP  Error   TFTPMaxWindow %d out of range, %d used\n", maxWindow, maxWindow_);
    sweepRoot(settings);
    port_.store(socket_.localPort());
    wake_.reset();
    watch_.resume();
    stopping_.store(false);
    try {
        listener_ = std::thread([this] { listen(); });
        listening_.store(true);
    } catch (const std::system_error&) {
        socket_.close();
        stopping_.store(true);
        env_.log.line(1, true, "TFTP  Error   server thread failed\n");
        return false;
    }
    env_.log.line(1, true, "TFTP  ready   on port %u%s\n", static_cast<unsigned>(port_.load()),
                  settings.options == 0 ? ", options disabled" : "");
    return true;
}

void TftpServer::sweepRoot(const TftpSettings& settings) {
    std::string root = settings.directory;
    if (root.empty() && env_.serverFiles) root = env_.serverFiles().dataDirectory;
    if (root.empty()) return;
    if (root.back() != '/') root.push_back('/');
    const platform::FileDescriptor directory(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory) leftovers_.sweepOnce(directory.get(), root);
}

void TftpServer::requestStop() {
    stopping_.store(true);
    wake_.signal();
    watch_.interruptAll();
}

void TftpServer::stop() {
    std::lock_guard<std::mutex> guard(control_);
    requestStop();
    if (listener_.joinable()) listener_.join();
    listening_.store(false);
    joinAll();
    socket_.close();
}

void TftpServer::restart(bool portChanged) {
    if (env_.settings.tftp().enable == 0) {
        stop();
        return;
    }
    if (portChanged) stop();
    start();
}

void TftpServer::joinAll() {
    // Only the listener changes the list, and it has ended: the entries stay where they are.
    for (Entry& entry : transfers_) {
        if (entry.thread.joinable()) entry.thread.join();
    }
}

std::int32_t TftpServer::transferCount() const { return running() ? running_.load() : -1; }

std::optional<TransferImage> TftpServer::transfer(std::size_t n) const {
    std::lock_guard<std::mutex> guard(listLock_);
    for (const Entry& entry : transfers_) {
        if (n-- != 0) continue;
        // Ended before the image was taken: the image shows it ended.
        const bool ended = entry.transfer->ended.load();
        TransferImage image = entry.transfer->snapshot();
        if (ended) entry.transfer->readEnded.store(true);
        return image;
    }
    return std::nullopt;
}

void TftpServer::listen() {
    std::array<std::uint8_t, kRequestMax> buffer{};
    const int fds[2] = {socket_.fd(), ended_.fd()};
    while (!stopping_.load()) {
        bool readable[2] = {false, false};
        // Ended transfers are joined as soon as they end, and leave the list once they have been
        // shown for a while, also when no new request comes.
        const platform::WaitResult result = platform::waitReadable(fds, &wake_, holdsEnded() ? 1000 : -1, readable);
        if (result == platform::WaitResult::Woken || stopping_.load()) break;
        if (result == platform::WaitResult::Timeout || readable[1]) {
            ended_.reset();
            cleanUp();
        }
        if (result != platform::WaitResult::Readable || !readable[0]) continue;
        platform::DatagramInfo from;
        const long n = socket_.receive(buffer.data(), buffer.size(), from, true);
        // Receive errors and datagrams too short to be a request (an empty one included) are
        // dropped; the listener goes on.
        if (n < 2) continue;
        handleRequest(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)), from);
    }
}

bool TftpServer::ignored(Ipv4 client, std::uint16_t port, std::uint64_t digest, const TftpSettings& settings) {
    bool duplicate = false;
    std::int32_t heldByClient = 0;
    {
        std::lock_guard<std::mutex> guard(listLock_);
        for (const Entry& entry : transfers_) {
            const TransferRequest& r = entry.transfer->request;
            // A transfer with its outcome is over for its client, even while it waits for a
            // last block repeated after a complete upload.
            Transfer& t = *entry.transfer;
            if (t.ended.load() || t.outcome.load(std::memory_order_acquire) != kRunning || r.client != client ||
                t.clientEnded.load())
                continue;
            // A read that has sent its final block waits only for the last ACK. A request from its
            // client's port means that ACK was lost and the client has the file: the transfer ends
            // as done at its next wait, without sending again, and the request is a new one. Not
            // so the same request from a client that has not answered the transfer at all (its
            // only block went out at once): that is a copy of the request, late from the network
            // or repeated by the client, and the final block goes out again in time.
            if (r.clientPort == port && finalBlockSent(t) && (t.requestDigest != digest || clientAnswered(t))) {
                t.clientEnded.store(true);
                continue;
            }
            ++heldByClient;
            // A client may start a new request from the port of a transfer that is just ending:
            // a boot client that asked for the size alone refuses the OACK with an ERROR and asks
            // again at once, with other options or the same; a client that has acknowledged the
            // last block may read the file again. Only the same request again, while the client
            // has not ended the transfer, is a repetition.
            if (r.clientPort == port && t.requestDigest == digest && !clientEndWaiting(t)) duplicate = true;
        }
    }
    const std::int32_t running = running_.load();
    bool refuse = duplicate || running > settings.clients || heldByClient >= slotsPerAddress(settings);
    if (!refuse && (settings.mode & kModeManagedOnly)) {
        refuse = !(env_.standing ? env_.standing(client) : ClientStanding{}).known;
    }
    if (refuse) logIgnored(client, running);
    return refuse;
}

void TftpServer::logIgnored(Ipv4 client, std::int32_t running) {
    env_.log.line(1, false, "TFTP  Error   request from %s ignored, %u\n", formatIpv4(client).c_str(),
                  static_cast<unsigned>(running));
}

void TftpServer::refuse(Ipv4 client, std::uint16_t port, std::uint16_t opcode, unsigned code, ErrorText text,
                        const std::string& path) {
    if (env_.counters != nullptr) env_.counters->refused.add();
    std::array<std::uint8_t, 128> packet{};
    const std::size_t length = writeError(packet, code, errorText(text));
    if (length != 0) socket_.send(packet.data(), length, client, port);
    // The path once the name has been resolved, whatever the refusal: an upload refused because
    // the file exists or cannot be created, or a request with a bad mode or option, names its file.
    env_.log.line(1, false, "TFTP  Error   %s  %s  %u %s %s\n", formatIpv4(client).c_str(), directionName(opcode), code,
                  standardText(code), path.c_str());
}

void TftpServer::refuseSetup(Ipv4 client, std::uint16_t port, std::uint16_t opcode, ErrorText text,
                             const char* logText) {
    if (env_.counters != nullptr) env_.counters->refused.add();
    std::array<std::uint8_t, 128> packet{};
    const std::size_t length = writeError(packet, 0, errorText(text));
    if (length != 0) socket_.send(packet.data(), length, client, port);
    env_.log.line(1, false, "TFTP  Error   %s  %s  %s\n", formatIpv4(client).c_str(), directionName(opcode), logText);
}

bool TftpServer::assignGroup(TransferRequest& request, const MulticastSettings& multicast,
                             std::uint16_t& groupDataPort) {
    std::lock_guard<std::mutex> guard(listLock_);
    groupDataPort = 0;
    auto runningMulticast = [](const Entry& e) { return !e.transfer->ended.load() && e.transfer->multicast.load(); };
    for (const Entry& entry : transfers_) {
        const Transfer& t = *entry.transfer;
        if (runningMulticast(entry) && t.master.load() && t.request.mode == request.mode &&
            t.request.blockSize == request.blockSize && t.request.path == request.path &&
            t.request.size == request.size && t.request.mappingIdentity == request.mappingIdentity) {
            request.group = t.request.group;
            request.groupPort = t.request.groupPort;
            request.master = false;
            groupDataPort = t.dataPort.load();
            return true;
        }
    }
    for (unsigned port = multicast.port;; ++port) {
        bool used = false;
        for (const Entry& entry : transfers_) {
            if (runningMulticast(entry) && entry.transfer->request.groupPort == port) used = true;
        }
        if (!used) {
            request.group = multicast.address;
            request.groupPort = static_cast<std::uint16_t>(port);
            request.master = true;
            return true;
        }
        // No free port left: the transfer runs as unicast.
        if (port >= multicast.last || port >= 65535) return false;
    }
}

void TftpServer::logRequest(const TransferRequest& request, bool tsizeRequested) {
    if (env_.log.level() <= 1) return;
    char pieces[256];
    std::size_t length = 0;
    char piece[64];
    auto add = [&](int n) { appendPiece(pieces, sizeof pieces, length, piece, n); };
    pieces[0] = 0;
    const auto size = static_cast<unsigned long long>(request.size);
    if (request.opcode == kOpReadRequest) add(std::snprintf(piece, sizeof piece, " Size %llu", size));
    if (tsizeRequested) add(std::snprintf(piece, sizeof piece, " tsize %llu", size));
    if (request.options & kOptBlksize) {
        add(std::snprintf(piece, sizeof piece, " blksize %u", static_cast<unsigned>(request.blockSize)));
    }
    if (request.options & kOptTimeout) {
        add(std::snprintf(piece, sizeof piece, " timeout %u", static_cast<unsigned>(request.timeout)));
    }
    if (request.options & kOptMulticast) {
        add(std::snprintf(piece, sizeof piece, " multicast %s,%u,%u", formatIpv4(request.group).c_str(),
                          static_cast<unsigned>(request.groupPort), request.master ? 1u : 0u));
    }
    if (request.options & kOptWindowsize) {
        add(std::snprintf(piece, sizeof piece, " windowsize %u", static_cast<unsigned>(request.window)));
    }
    env_.log.line(2, false, "TFTP %8s Name %s Mode %s%s\n", directionName(request.opcode), request.path.c_str(),
                  modeName(request.mode), pieces);
}

platform::UdpSocket TftpServer::openDataSocket(const TftpSettings& settings, const TransferRequest& request,
                                               std::uint16_t groupDataPort, std::uint16_t& port) {
    // A multicast client (RFC 2090) takes the group's data only from the port that answered
    // it: every transfer of a group sends from its master's port, each socket connected to its
    // own client. Only the server's own sockets can share the port (sharePort).
    if ((request.options & kOptMulticast) != 0 && !request.master && groupDataPort != 0) {
        port = groupDataPort;
        return platform::openGroupUdpSocket(0, groupDataPort);
    }
    platform::UdpSocket socket = openOwnDataSocket(settings, port);
    if (socket.valid() && (request.options & kOptMulticast) != 0 && !socket.sharePort()) return {};
    return socket;
}

platform::UdpSocket TftpServer::openOwnDataSocket(const TftpSettings& settings, std::uint16_t& port) {
    if (settings.dataPort <= 0) {
        platform::UdpSocket socket = platform::openBoundUdpSocket(0, 0);
        port = socket.valid() ? socket.localPort() : 0;
        return socket;
    }
    const long first = settings.dataPort;
    const long last = first + std::max<std::int32_t>(settings.clients, 1) - 1;
    if (first > 65535) return {};
    return platform::openBoundUdpSocketInRange(0, static_cast<std::uint16_t>(first),
                                               static_cast<std::uint16_t>(std::min<long>(last, 65535)), &port);
}

bool TftpServer::prepareData(Transfer& transfer, OpenResult& opened) {
    const TransferRequest& r = transfer.request;
    const bool textMode = r.mode == kModeNetascii && r.textAccess == 1;
    const std::size_t window = std::max<std::size_t>(r.window, 2);
    // A read from the file keeps what it has read ahead (at least a window of blocks); an upload
    // a received block and its conversion; a shared mapping is sent from as it is.
    std::size_t bytes = 0;
    if (r.opcode == kOpReadRequest) {
        bytes = opened.mapping ? 0 : FileSource::bufferBytes(r.blockSize, window, textMode);
    } else {
        bytes = r.blockSize + kHeaderSize + 1 + (textMode ? 2 * std::size_t{r.blockSize} : 0);
    }
    bool ok = bufferBytes_.fetch_add(bytes) + bytes <= env_.bufferBudget;
    if (ok) {
        try {
            if (r.opcode != kOpReadRequest) {
                transfer.sink = std::make_unique<FileSink>(std::move(opened.upload), textMode);
            } else if (opened.mapping) {
                transfer.source = std::make_unique<MappedSource>(opened.mapping, r.blockSize);
            } else {
                transfer.source =
                    std::make_unique<FileSource>(std::move(opened.file), r.blockSize, window, textMode, opened.size);
            }
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    if (!ok) {
        releaseBuffers(bytes);
        env_.log.line(2, false, "TFTP  malloc  (%u) for client failed\n", static_cast<unsigned>(bytes));
        return false;
    }
    transfer.bufferBytes = bytes;
    return true;
}

void TftpServer::handleRequest(std::span<const std::uint8_t> datagram, const platform::DatagramInfo& from) {
    // Only a read or write request is answered here: an ERROR, DATA, ACK or OACK sent to the
    // listening port is dropped, so that two servers never answer each other. So is a request
    // from port 0, which no answer can reach (a transfer would only wait for its time-out).
    const unsigned opcode = (unsigned{datagram[0]} << 8) | datagram[1];
    if ((opcode != kOpReadRequest && opcode != kOpWriteRequest) || from.sourcePort == 0 || !singleHost(from.source)) {
        logIgnored(from.source, running_.load());
        return;
    }
    TftpSettings tftp = env_.settings.tftp();
    const MulticastSettings multicast = env_.settings.multicast();
    const std::uint64_t digest = requestDigest(datagram);
    if (ignored(from.source, from.sourcePort, digest, tftp)) return;

    const ServerFiles files = env_.serverFiles ? env_.serverFiles() : ServerFiles{};
    if (tftp.directory.empty()) tftp.directory = files.dataDirectory;
    ParserSettings settings{tftp, multicast, maxWindow_};
    ParseEnvironment environment{env_.standing, directoryExists};
    ParsedRequest parsed = parseRequest(datagram, from.source, from.sourcePort, settings, environment);
    TransferRequest& request = parsed.request;
    if (parsed.failed)
        return refuse(from.source, from.sourcePort, request.opcode, parsed.errorCode, parsed.text, request.path);

    const ServerFileGuard ownFiles(files);
    std::uint16_t groupDataPort = 0;
    const bool textMode = request.mode == kModeNetascii && request.textAccess == 1;
    OpenResult opened;
    if (request.opcode == kOpReadRequest) {
        const bool wantMapping = parsed.multicastRequested ? (tftp.mmf & 1) != 0 : (tftp.mmf & 2) != 0;
        opened = openForReading(parsed.path, {textMode, wantMapping, static_cast<std::uint32_t>(tftp.mmfMax)},
                                mappings_, ownFiles);
        // Without large files the block counter cannot pass 65535: a longer file could only be
        // sent wrong, so it is refused, and the log says what serves it.
        if (opened.ok && tftp.largeFiles == 0 && opened.size / request.blockSize >= kMaxBlocksWithoutLargeFiles) {
            env_.log.line(1, false,
                          "TFTP  Error   %s has more than 65535 blocks of %u bytes, TFTPLargeFiles=1 serves it\n",
                          request.path.c_str(), static_cast<unsigned>(request.blockSize));
            opened = openFailed(3, ErrorText::FileTooLarge);
        }
        if (opened.ok) {
            request.size = opened.size;
            request.mapped = opened.mapping != nullptr;
            request.mappingIdentity = opened.mapping.get();
            // A group's clients place each block by its 16-bit number, and a client that takes
            // over as master names the block it has by that number: past 65,535 blocks both
            // are ambiguous and a copy could come out wrong. Such a file goes to its client
            // alone (the option acknowledgement leaves multicast out).
            if (parsed.multicastRequested && opened.size / request.blockSize < kMaxBlocksWithoutLargeFiles &&
                assignGroup(request, multicast, groupDataPort))
                request.options |= kOptMulticast;
        }
    } else {
        const WritePolicy policy{.overwrite = (tftp.upload & 2) != 0,
                                 .announced = (request.options & kOptTsize) != 0 ? request.size : 0,
                                 .leftovers = &leftovers_};
        opened = openForWriting(parsed.path, policy, ownFiles);
    }
    if (!opened.ok) return refuse(from.source, from.sourcePort, request.opcode, opened.code, opened.text, request.path);
    const bool tsizeRequested = (request.options & kOptTsize) != 0;
    logRequest(request, tsizeRequested);

    std::shared_ptr<Transfer> transfer;
    try {
        transfer = std::make_shared<Transfer>();
    } catch (const std::bad_alloc&) {
        env_.log.line(2, false, "TFTP  malloc  (%u) for client failed\n", static_cast<unsigned>(kTransferRecordSize));
        return;
    }
    std::uint16_t dataPort = 0;
    platform::UdpSocket socket = openDataSocket(tftp, request, groupDataPort, dataPort);
    if (!socket.valid() || !forbidBroadcast(socket))
        return refuseSetup(from.source, from.sourcePort, request.opcode, ErrorText::DataPortFailed,
                           "bind on data port failed");
    if (!socket.connect(from.source, from.sourcePort)) {
        logIgnored(from.source, running_.load());
        return;
    }

    transfer->request = request;
    transfer->requestDigest = digest;
    if (!prepareData(*transfer, opened))
        return refuseSetup(from.source, from.sourcePort, request.opcode, ErrorText::ResourceProblem,
                           "data buffer allocation failed");
    transfer->socket = std::move(socket);
    transfer->mapping = std::move(opened.mapping);
    transfer->master.store(request.master);
    transfer->multicast.store((request.options & kOptMulticast) != 0);
    transfer->dataPort.store(dataPort);
    transfer->socketOpen.store(true);
    running_.fetch_add(1);
    // In the list before its thread starts, so that the pipe sees it at once.
    std::list<Entry>::iterator entry;
    {
        std::lock_guard<std::mutex> guard(listLock_);
        entry = transfers_.insert(transfers_.end(), Entry{transfer, {}});
    }
    try {
        entry->thread = std::thread([this, transfer] { runTransfer(transfer); });
    } catch (const std::system_error&) {
        running_.fetch_sub(1);
        releaseBuffers(transfer->bufferBytes);
        {
            std::lock_guard<std::mutex> guard(listLock_);
            transfers_.erase(entry);
        }
        return refuseSetup(from.source, from.sourcePort, request.opcode, ErrorText::ResourceProblem,
                           "data thread failed");
    }
    cleanUp();
}

bool TftpServer::holdsEnded() const {
    std::lock_guard<std::mutex> guard(listLock_);
    for (const Entry& entry : transfers_) {
        if (entry.transfer->ended.load()) return true;
    }
    return false;
}

void TftpServer::cleanUp() {
    std::list<Entry> removed;
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> guard(listLock_);
        const std::int64_t now = env_.clock.now();
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            const Transfer& t = *it->transfer;
            if (!t.ended.load()) {
                ++it;
                continue;
            }
            if (it->thread.joinable()) finished.push_back(std::move(it->thread));
            auto next = std::next(it);
            const bool read = t.readEnded.load() || transfers_.size() > kMaxListedForUnread;
            if (t.endTime.load() + (read ? kKeepEndedSeconds : kKeepUnreadSeconds) < now)
                removed.splice(removed.end(), transfers_, it);
            it = next;
        }
    }
    // Their threads have marked the records ended and do nothing more.
    for (std::thread& thread : finished) thread.join();
}

void TftpServer::handOverMaster(const Transfer& ending) {
    std::lock_guard<std::mutex> guard(listLock_);
    const TransferRequest& r = ending.request;
    for (Entry& entry : transfers_) {
        Transfer& t = *entry.transfer;
        if (&t == &ending || t.ended.load() || !t.multicast.load() || t.master.load()) continue;
        if (t.request.group == r.group && t.request.groupPort == r.groupPort && t.request.mode == r.mode &&
            t.request.blockSize == r.blockSize && t.request.path == r.path) {
            t.master.store(true);
            break;
        }
    }
}

void TftpServer::runTransfer(const std::shared_ptr<Transfer>& pointer) {
    Transfer& t = *pointer;
    const TransferRequest& r = t.request;
    if (env_.counters != nullptr) env_.counters->started.add();
    if (!t.socket.connect(r.client, r.clientPort)) {
        env_.log.line(2, false, "TFTP  Error    data connection failed\n");
    } else {
        const TftpSettings tftp = env_.settings.tftp();
        const std::int32_t ttl = env_.settings.multicast().ttl;
        if (t.multicast.load() && ttl != 1) t.socket.setMulticastTtl(ttl);
        SocketChannel socketChannel(t.socket, watch_, r.group, r.groupPort);
        CountingChannel channel(socketChannel, t);
        EngineContext context{t, channel, env_.log,
                              EngineSettings{tftp.retransmit, tftp.windowSize != 0, tftp.largeFiles != 0,
                                             maxSilentMs(tftp.timeout, tftp.retransmit)},
                              [this] { return stopping_.load(); }};
        const std::int64_t start = env_.clock.now();
        std::int32_t outcome = kOutcomeFailure;
        try {
            outcome = r.opcode == kOpReadRequest ? runReadSide(context, *t.source) : runWriteSide(context, *t.sink);
        } catch (const std::bad_alloc&) {
            env_.log.line(2, false, "TFTP  malloc  (%u) for client failed\n", static_cast<unsigned>(r.blockSize));
        }
        t.outcome.store(outcome, std::memory_order_release);
        if (env_.counters != nullptr) {
            env_.counters->sentBytes.add(channel.sentBytes);
            env_.counters->receivedBytes.add(channel.receivedBytes);
        }
        if (env_.checkLog) env_.checkLog();
        char direction[16];
        directionText(direction, r);
        const AddressText address = formatIpv4(r.client);
        const char* client = address.c_str();
        switch (outcome) {
            case kOutcomeDone:
                env_.log.line(1, false, "TFTP  %6us %s  %s  %s\n", static_cast<unsigned>(env_.clock.now() - start),
                              client, direction, r.path.c_str());
                break;
            case kOutcomeTimeout:
                env_.log.line(1, false, "TFTP  Timeout %s  %s  %s\n", client, direction, r.path.c_str());
                break;
            case kOutcomeAborted:
                env_.log.line(1, false, "TFTP  Abort   %s  %s  %s %s\n", client, direction, t.clientError.data(),
                              r.path.c_str());
                break;
            default:
                env_.log.line(1, false, "TFTP  Error   %s  %s  %s\n", client, direction, r.path.c_str());
                break;
        }
        // The upload is complete and logged; its last ACK may still be asked for again.
        if (outcome == kOutcomeDone && r.opcode == kOpWriteRequest) dallyAfterUpload(context);
    }
    if (t.multicast.load()) {
        handOverMaster(t);
        t.master.store(false);
    }
    // Everything the transfer held goes at once; an upload that did not complete leaves no file.
    t.source.reset();
    // An upload that ends before its last block takes its working file (and its lock) with it;
    // whatever the name held before stays as it was.
    if (t.sink && t.outcome.load(std::memory_order_relaxed) != kOutcomeDone) {
        t.sink.reset();
        env_.log.line(1, false, "TFTP  Removed the unfinished upload of %s\n", r.path.c_str());
    }
    t.sink.reset();
    t.mapping.reset();
    releaseBuffers(t.bufferBytes);
    {
        std::lock_guard<std::mutex> guard(t.socketLock);
        t.socket.close();
        t.socketOpen.store(false);
    }
    t.endTime.store(env_.clock.now());
    if (env_.counters != nullptr) env_.counters->countEnd(t.outcome.load(std::memory_order_relaxed));
    t.ended.store(true, std::memory_order_release);
    running_.fetch_sub(1);
    ended_.signal();
}

}  // namespace tolmark::tftp

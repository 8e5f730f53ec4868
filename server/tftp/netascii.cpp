#include "server/tftp/netascii.h"

#include <unistd.h>

#include <cerrno>

namespace tolmark::tftp {
namespace {
constexpr std::size_t kFilePiece = 8192;
}

std::pair<std::size_t, std::size_t> NetasciiEncoder::convert(std::span<const std::uint8_t> input,
                                                             std::span<std::uint8_t> output) {
    std::size_t in = 0;
    std::size_t out = flush(output);
    while (in < input.size() && out < output.size()) {
        const std::uint8_t c = input[in++];
        if (c == '\n' || c == '\r') {
            output[out++] = '\r';
            const std::uint8_t second = c == '\n' ? '\n' : 0;
            if (out < output.size()) {
                output[out++] = second;
            } else {
                pending_ = second;
            }
        } else {
            output[out++] = c;
        }
    }
    return {in, out};
}

std::size_t NetasciiEncoder::flush(std::span<std::uint8_t> output) {
    if (pending_ < 0 || output.empty()) return 0;
    output[0] = static_cast<std::uint8_t>(pending_);
    pending_ = -1;
    return 1;
}

void NetasciiDecoder::convert(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output) {
    output.clear();
    for (std::uint8_t c : input) {
        if (carriageReturn_) {
            carriageReturn_ = false;
            if (c == '\n') {
                output.push_back('\n');
                continue;
            }
            output.push_back('\r');
            if (c == 0) continue;
        }
        if (c == '\r') {
            carriageReturn_ = true;
        } else {
            output.push_back(c);
        }
    }
}

void NetasciiDecoder::finish(std::vector<std::uint8_t>& output) {
    output.clear();
    if (carriageReturn_) output.push_back('\r');
    carriageReturn_ = false;
}

NetasciiFileReader::NetasciiFileReader(int fd) : fd_(fd), buffer_(kFilePiece) {}

long NetasciiFileReader::read(std::span<std::uint8_t> out) {
    std::size_t written = encoder_.flush(out);
    while (written < out.size()) {
        if (start_ == end_) {
            if (eof_) break;
            ssize_t n;
            do {
                n = ::pread(fd_, buffer_.data(), buffer_.size(), offset_);
            } while (n < 0 && errno == EINTR);
            if (n < 0) return -1;
            if (n == 0) {
                eof_ = true;
                break;
            }
            offset_ += n;
            start_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
        const auto [used, produced] = encoder_.convert(
            std::span<const std::uint8_t>(buffer_.data() + start_, end_ - start_), out.subspan(written));
        start_ += used;
        written += produced;
    }
    return static_cast<long>(written);
}

void NetasciiFileReader::rewind() {
    offset_ = 0;
    start_ = end_ = 0;
    eof_ = false;
    encoder_.reset();
}

long long NetasciiFileReader::convertedSize() {
    rewind();
    std::vector<std::uint8_t> piece(kFilePiece);
    long long total = 0;
    for (;;) {
        const long n = read(piece);
        if (n < 0) return -1;
        total += n;
        if (static_cast<std::size_t>(n) < piece.size()) break;
    }
    rewind();
    return total;
}

}  // namespace tolmark::tftp

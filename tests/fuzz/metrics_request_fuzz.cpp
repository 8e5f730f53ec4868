// Fuzz target: what a peer sends to the metrics listener, through the listener's own handling
// (header end, "Range" lines left out, the HTTP library's parse and answer into the buffer).
// Byte 0 steers how the rest is cut into the reads it arrives in: 0 one read, else reads of
// 1 to that many bytes, their lengths taken from the bytes after it. The rest is the request,
// repeated to past the size limit when bit 7 of byte 1 is set.
//
// Whatever is sent, the peer gets one answer at most, never larger than the page and its
// headers (no spelling of "Range" that the library reads may have the page copied once per
// range), and a request whose header block does not end within the size limit is refused.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "server/metrics/metrics_listener.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

constexpr std::size_t kLimit = 16384;  // what the listener takes of a request at most
constexpr std::size_t kHeadersAtMost = 512;

const std::string& page() {
    static const std::string text = [] {
        std::string out;
        for (int i = 0; i < 40; ++i) out += "tolmark_pool_leases{pool=\"p" + std::to_string(i) + "\"} 12\n";
        return out;
    }();
    return text;
}

std::size_t count(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void run(std::span<const std::uint8_t> input) {
    Steering steer(input);
    const std::size_t most = steer.byte();
    const std::string_view given(reinterpret_cast<const char*>(steer.rest().data()), steer.rest().size());
    std::string request(given);
    if (!given.empty() && (static_cast<unsigned char>(given.front()) & 0x80) != 0) {
        request.erase(0, 1);
        const std::string unit = request.empty() ? std::string("x") : request;
        while (request.size() <= kLimit) request += unit;
    }

    // The reads: their lengths cycle through the request's own bytes, so that mutations move the
    // cuts along with the text.
    std::vector<std::string_view> pieces;
    std::string_view rest(request);
    for (std::size_t i = 0; !rest.empty(); ++i) {
        const std::size_t length =
            most == 0 ? rest.size() : 1 + static_cast<unsigned char>(request[i % request.size()]) % most;
        pieces.push_back(rest.substr(0, length));
        rest.remove_prefix(std::min(length, rest.size()));
    }

    const std::string answer = answerMetricsRequest(pieces, page());
    // The library ends the header block with a line of "\r\n" alone.
    const std::string_view taken = std::string_view(request).substr(0, kLimit);
    const bool headerEnds = taken.find("\n\r\n") != std::string_view::npos || taken.starts_with("\r\n");
    if (answer.empty()) {
        // Nothing is sent only while the request is incomplete and under the limit.
        FUZZ_REQUIRE(request.size() < kLimit);
        return;
    }
    FUZZ_REQUIRE(answer.starts_with("HTTP/1.1 "));
    FUZZ_REQUIRE(count(answer, "HTTP/1.") == 1);
    FUZZ_REQUIRE(answer.size() <= page().size() + kHeadersAtMost);
    FUZZ_REQUIRE(count(answer, page()) <= 1);
    // The page goes out whole or not at all: no range reaches the library.
    FUZZ_REQUIRE(!answer.starts_with("HTTP/1.1 206") && !answer.starts_with("HTTP/1.1 416"));
    if (!headerEnds) FUZZ_REQUIRE(!answer.starts_with("HTTP/1.1 2"));
}

}  // namespace

std::vector<Input> seeds() {
    using namespace std::string_literals;
    const std::string get = "GET /metrics HTTP/1.1\r\n";
    return {
        bytesOf("\0"s + get + "Host: x\r\n\r\n"),
        bytesOf("\x01"s + get + "\r\n"),
        bytesOf("\x07"s + get + "Range: bytes=0-9,0-9,0-9,0-9\r\n\r\n"),
        bytesOf("\0"s + get + "range:\tbytes=0-9,0-9\r\nRange : bytes=1-2\r\n\r\n"),
        bytesOf("\0"s + get + "X-Folded: a\r\n Range: bytes=0-1,0-1\r\n\r\n"),
        bytesOf("\0"s + get + "X: \0\r\nRan\0ge: bytes=0-1,0-1\r\n\r\n"s),
        bytesOf("\0"s + get + "\nRange: bytes=0-1,0-1\r\n\r\n"),
        bytesOf("\0"s + get + "\rX\r\nRange: bytes=0-1,0-1\r\n\r\n"),
        bytesOf("\x05"s + "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"),
        bytesOf("\0"s + "HEAD /metrics HTTP/1.0\n\n"),
        bytesOf("\0"s + "\x80" + get + "X: y\n"),
        bytesOf("\0"s + "\x80" + get + "X\n\r\n"),
    };
}

std::vector<std::string> dictionary() {
    return {"\r\n",
            "\n",
            "\r",
            "\r\n\r\n",
            "Range:",
            "range: ",
            "RANGE:\t",
            "Range :",
            "bytes=0-1",
            ",0-1",
            ",-5",
            "GET ",
            "HEAD ",
            "/metrics",
            " HTTP/1.1",
            " HTTP/1.0",
            "Host: x",
            "Content-Length: ",
            "Connection: close",
            "Transfer-Encoding: chunked",
            "\t",
            std::string(1, '\0')};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}

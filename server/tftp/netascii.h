#pragma once
// netascii with "TFTPUnixStyle" 1: the host's LF line ends travel as CR LF, and a CR of the file
// travels as CR NUL (so that the receiver can tell it from a line end). Reading converts a file
// into that stream; writing converts the stream back.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tolmark::tftp {

// Converts host text to netascii. Feed it input bytes; it emits the converted stream, holding
// back the second byte of a pair that did not fit.
class NetasciiEncoder {
public:
    // Converts from input into output; returns {input bytes used, output bytes written}.
    std::pair<std::size_t, std::size_t> convert(std::span<const std::uint8_t> input, std::span<std::uint8_t> output);
    // Emits a held-back byte; returns the bytes written (0 or 1).
    std::size_t flush(std::span<std::uint8_t> output);
    bool pending() const { return pending_ >= 0; }
    void reset() { pending_ = -1; }

private:
    int pending_ = -1;
};

// Converts netascii back to host text: CR LF -> LF, CR NUL -> CR, and any other CR stays. A CR
// at the end of one piece waits for the first byte of the next.
class NetasciiDecoder {
public:
    // Appends the converted bytes of input to output (cleared first).
    void convert(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output);
    // A CR still waiting at the end of the stream.
    void finish(std::vector<std::uint8_t>& output);

private:
    bool carriageReturn_ = false;
};

// Reads a file as a netascii stream: sequential reads of the converted bytes, in pieces of
// 8192 file bytes.
class NetasciiFileReader {
public:
    explicit NetasciiFileReader(int fd);
    // Fills out with up to out.size() converted bytes; fewer only at the end of the file. -1 on
    // a read error.
    long read(std::span<std::uint8_t> out);
    void rewind();
    // The length of the whole converted stream (reads the file through once, then rewinds).
    long long convertedSize();

private:
    int fd_;
    long long offset_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    NetasciiEncoder encoder_;
};

}  // namespace tolmark::tftp

#pragma once
// Bounded readers and writers for byte images that cross a process boundary (pipe blocks,
// client and profile records, packets). Every access is checked against the bytes present;
// a failed access sets the failure flag and yields zero, so a decoder can read a whole image
// and test ok() once at the end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace tolmark {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    std::size_t size() const { return bytes_.size(); }

    std::uint8_t u8(std::size_t offset) {
        if (!check(offset, 1)) return 0;
        return bytes_[offset];
    }
    std::uint16_t u16le(std::size_t offset) {
        if (!check(offset, 2)) return 0;
        return static_cast<std::uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
    }
    std::uint32_t u32le(std::size_t offset) {
        if (!check(offset, 4)) return 0;
        return static_cast<std::uint32_t>(bytes_[offset]) | (static_cast<std::uint32_t>(bytes_[offset + 1]) << 8) |
               (static_cast<std::uint32_t>(bytes_[offset + 2]) << 16) |
               (static_cast<std::uint32_t>(bytes_[offset + 3]) << 24);
    }
    std::int32_t i32le(std::size_t offset) { return static_cast<std::int32_t>(u32le(offset)); }
    std::uint64_t u64le(std::size_t offset) {
        std::uint64_t low = u32le(offset);
        std::uint64_t high = u32le(offset + 4);
        return low | (high << 32);
    }
    std::int64_t i64le(std::size_t offset) { return static_cast<std::int64_t>(u64le(offset)); }
    std::uint16_t u16be(std::size_t offset) {
        if (!check(offset, 2)) return 0;
        return static_cast<std::uint16_t>((bytes_[offset] << 8) | bytes_[offset + 1]);
    }
    std::uint32_t u32be(std::size_t offset) {
        if (!check(offset, 4)) return 0;
        return (static_cast<std::uint32_t>(bytes_[offset]) << 24) |
               (static_cast<std::uint32_t>(bytes_[offset + 1]) << 16) |
               (static_cast<std::uint32_t>(bytes_[offset + 2]) << 8) | static_cast<std::uint32_t>(bytes_[offset + 3]);
    }
    // An IPv4 address kept as it stands on the wire: network order, first number lowest in memory.
    std::uint32_t ipv4(std::size_t offset) {
        if (!check(offset, 4)) return 0;
        std::uint32_t value;
        std::memcpy(&value, bytes_.data() + offset, 4);
        return value;
    }
    bool bytes(std::size_t offset, void* out, std::size_t count) {
        if (!check(offset, count)) {
            std::memset(out, 0, count);
            return false;
        }
        if (count != 0) std::memcpy(out, bytes_.data() + offset, count);
        return true;
    }
    // A NUL-terminated text inside a fixed field: the text ends at the first NUL or at the end of
    // the field, whichever comes first; a field that is never terminated is cut to width - 1 so
    // that it always fits back into the same field.
    std::string text(std::size_t offset, std::size_t width) {
        if (!check(offset, width) || width == 0) return {};
        const char* start = reinterpret_cast<const char*>(bytes_.data() + offset);
        std::size_t length = strnlen(start, width);
        if (length == width) length = width - 1;
        return std::string(start, length);
    }

private:
    bool check(std::size_t offset, std::size_t count) {
        if (offset > bytes_.size() || count > bytes_.size() - offset) {
            ok_ = false;
            return false;
        }
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    bool ok_ = true;
};

class ByteWriter {
public:
    explicit ByteWriter(std::span<std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }

    void u8(std::size_t offset, std::uint8_t value) {
        if (check(offset, 1)) bytes_[offset] = value;
    }
    void u16le(std::size_t offset, std::uint16_t value) {
        if (!check(offset, 2)) return;
        bytes_[offset] = static_cast<std::uint8_t>(value);
        bytes_[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    void u32le(std::size_t offset, std::uint32_t value) {
        if (!check(offset, 4)) return;
        for (int i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    void i32le(std::size_t offset, std::int32_t value) { u32le(offset, static_cast<std::uint32_t>(value)); }
    void u64le(std::size_t offset, std::uint64_t value) {
        if (!check(offset, 8)) return;
        for (int i = 0; i < 8; ++i) bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    void i64le(std::size_t offset, std::int64_t value) { u64le(offset, static_cast<std::uint64_t>(value)); }
    void u16be(std::size_t offset, std::uint16_t value) {
        if (!check(offset, 2)) return;
        bytes_[offset] = static_cast<std::uint8_t>(value >> 8);
        bytes_[offset + 1] = static_cast<std::uint8_t>(value);
    }
    void u32be(std::size_t offset, std::uint32_t value) {
        if (!check(offset, 4)) return;
        for (int i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
    void ipv4(std::size_t offset, std::uint32_t value) {
        if (check(offset, 4)) std::memcpy(bytes_.data() + offset, &value, 4);
    }
    void bytes(std::size_t offset, const void* data, std::size_t count) {
        if (check(offset, count) && count != 0) std::memcpy(bytes_.data() + offset, data, count);
    }
    void fill(std::size_t offset, std::uint8_t value, std::size_t count) {
        if (check(offset, count) && count != 0) std::memset(bytes_.data() + offset, value, count);
    }
    // Writes the text into a fixed field of width bytes, cut to width - 1 characters, NUL-filled.
    void text(std::size_t offset, std::size_t width, std::string_view value) {
        if (!check(offset, width) || width == 0) return;
        std::size_t length = value.size() < width - 1 ? value.size() : width - 1;
        // An empty string_view may carry a null pointer, which memcpy must not be given.
        if (length != 0) std::memcpy(bytes_.data() + offset, value.data(), length);
        std::memset(bytes_.data() + offset + length, 0, width - length);
    }

private:
    bool check(std::size_t offset, std::size_t count) {
        if (offset > bytes_.size() || count > bytes_.size() - offset) {
            ok_ = false;
            return false;
        }
        return true;
    }

    std::span<std::uint8_t> bytes_;
    bool ok_ = true;
};

}  // namespace tolmark

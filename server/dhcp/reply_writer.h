#pragma once
// Building a reply in place: header fields at their offsets and options at the writer's
// position, every byte through a bounded ByteWriter (a write past the buffer is dropped, never
// made); the option writers with their hard limit, the profile option copier, text templates,
// the overload step into `file` and `sname`, and the final length.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/byte_io.h"
#include "common/client_record.h"
#include "config/profiles.h"
#include "server/dhcp/dhcp_protocol.h"
#include "server/leases/client_table.h"

namespace tolmark::dhcp {

class ReplyWriter {
public:
    // buffer: the reply buffer (1504 bytes).
    explicit ReplyWriter(std::span<std::uint8_t> buffer) : buffer_(buffer), out_(buffer) {}

    // Header fields and other fixed places, by offset.
    void u8(std::size_t offset, std::uint8_t value) { out_.u8(offset, value); }
    void ipv4(std::size_t offset, Ipv4 address) { out_.ipv4(offset, address); }
    void bytes(std::size_t offset, const void* data, std::size_t count) { out_.bytes(offset, data, count); }
    void fill(std::size_t offset, std::uint8_t value, std::size_t count) { out_.fill(offset, value, count); }
    // A byte already written; 0 past the buffer.
    std::uint8_t at(std::size_t offset) const { return offset < buffer_.size() ? buffer_[offset] : 0; }
    // Moves count bytes within the reply (the ranges may overlap); nothing when either leaves it.
    void move(std::size_t to, std::size_t from, std::size_t count);
    // False once a write was dropped for lack of room.
    bool ok() const { return out_.ok(); }

    std::size_t position() const { return pos_; }
    void setPosition(std::size_t pos) { pos_ = pos; }
    bool pastHardLimit() const { return pos_ >= limit_; }
    // Keeps the last bytes below the hard limit free for an option written after the others
    // (the relay agent information): the option writers stop that much earlier until released.
    void reserve(std::size_t bytes) { limit_ = kHardLimit - bytes; }
    void release() { limit_ = kHardLimit; }

    // Writes at the position, which moves on.
    void putByte(std::uint8_t value) { out_.u8(pos_++, value); }
    void putAddressOption(std::uint8_t code, Ipv4 address);
    void putU32Option(std::uint8_t code, std::uint32_t value);
    void putByteOption(std::uint8_t code, std::uint8_t value);

    // Each writes code, length and value, or nothing when the value is empty or would reach
    // the hard limit (less what is reserved). True when written.
    bool writeString(std::uint8_t code, const std::uint8_t* value, std::size_t length);
    bool writeString(std::uint8_t code, std::string_view text) {
        return writeString(code, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    bool writeAddress(std::uint8_t code, Ipv4 address);
    bool writeAddressList(std::uint8_t code, std::span<const Ipv4> addresses);
    bool writeU16(std::uint8_t code, std::uint16_t value);

    // Copies the profile's option entries of that code (0: all but the codes in `sent`) in
    // stored order; text entries go through the template expansion when the profile's
    // "Substitution" is on.
    void copyProfileOptions(std::uint8_t code, const Profile& profile, const ClientRecord& record,
                            const std::bitset<256>* sent = nullptr);

private:
    void putOption(std::uint8_t code, const std::uint8_t* value, std::size_t length);

    std::span<std::uint8_t> buffer_;
    ByteWriter out_;
    std::size_t pos_ = 0;
    std::size_t limit_ = kHardLimit;
};

// Expands %1..%4, %A, %F, %H and %N of a boot file name, root path or option text into out
// (at most capacity bytes, no terminator). Returns the length.
std::size_t expandTemplate(std::string_view text, const ClientRecord& record, char* out, std::size_t capacity);

// Moves the options from overflowStart up to optionsEnd (where the end byte would go) into
// `file` and `sname`. bootFile and serverName are the names as they would stand in those fields
// (with their 0 byte counted when one is appended). When neither field takes options, those that
// fit in the options field before roomEnd (with the end byte) stay there. Returns the overload
// value 0..3 and leaves the writer positioned where the end byte goes.
int overloadOptions(ReplyWriter& reply, std::size_t overflowStart, std::size_t optionsEnd, std::size_t roomEnd,
                    std::span<const std::uint8_t> bootFile, std::span<const std::uint8_t> serverName, bool useOpt,
                    bool bootp);

// Writes the end byte at the writer's position and fills with zero bytes up to the minimum
// length; returns the reply length.
std::size_t finishReply(ReplyWriter& reply, std::size_t minimumLength);

}  // namespace tolmark::dhcp

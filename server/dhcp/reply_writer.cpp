#include "server/dhcp/reply_writer.h"

#include <bitset>
#include <cstdio>
#include <cstring>

namespace tolmark::dhcp {
namespace {

constexpr std::string_view kSeparators = "\t !#%'&()*+./:;<=>?@[\\]{|}";

bool isSeparator(char c) { return kSeparators.find(c) != std::string_view::npos; }

// The n-th word (from 1) of the text.
std::string_view word(std::string_view text, int n) {
    std::size_t p = 0;
    for (int i = 1;; ++i) {
        while (p < text.size() && isSeparator(text[p])) ++p;
        if (p >= text.size()) return {};
        std::size_t start = p;
        while (p < text.size() && !isSeparator(text[p])) ++p;
        if (i == n) return text.substr(start, p - start);
    }
}

}  // namespace

void ReplyWriter::move(std::size_t to, std::size_t from, std::size_t count) {
    const std::size_t size = buffer_.size();
    if (count == 0 || from > size || count > size - from || to > size || count > size - to) return;
    std::memmove(buffer_.data() + to, buffer_.data() + from, count);
}

void ReplyWriter::putOption(std::uint8_t code, const std::uint8_t* value, std::size_t length) {
    out_.u8(pos_, code);
    out_.u8(pos_ + 1, static_cast<std::uint8_t>(length));
    out_.bytes(pos_ + 2, value, length);
    pos_ += 2 + length;
}

void ReplyWriter::putAddressOption(std::uint8_t code, Ipv4 address) {
    std::uint8_t value[4];
    std::memcpy(value, &address, 4);
    putOption(code, value, 4);
}

void ReplyWriter::putU32Option(std::uint8_t code, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    putOption(code, bytes, 4);
}

void ReplyWriter::putByteOption(std::uint8_t code, std::uint8_t value) { putOption(code, &value, 1); }

bool ReplyWriter::writeString(std::uint8_t code, const std::uint8_t* value, std::size_t length) {
    if (length == 0 || length > 255 || pos_ + length + 2 >= limit_) return false;
    putOption(code, value, length);
    return true;
}

bool ReplyWriter::writeAddress(std::uint8_t code, Ipv4 address) {
    if (address == 0 || pos_ + 6 >= limit_) return false;
    putAddressOption(code, address);
    return true;
}

bool ReplyWriter::writeAddressList(std::uint8_t code, std::span<const Ipv4> addresses) {
    std::size_t count = 0;
    for (Ipv4 a : addresses) {
        if (a == 0) continue;
        std::size_t at = pos_ + 2 + 4 * count;
        if (at + 4 >= limit_) break;
        out_.ipv4(at, a);
        ++count;
    }
    if (count == 0) return false;
    out_.u8(pos_, code);
    out_.u8(pos_ + 1, static_cast<std::uint8_t>(4 * count));
    pos_ += 2 + 4 * count;
    return true;
}

bool ReplyWriter::writeU16(std::uint8_t code, std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return writeString(code, bytes, 2);
}

void ReplyWriter::copyProfileOptions(std::uint8_t code, const Profile& profile, const ClientRecord& record,
                                     const std::bitset<256>* sent) {
    const auto& area = profile.options;
    int budget = static_cast<int>(kOptionAreaSize);
    std::size_t p = 0;
    // Entries are walked only within the area, whatever their length bytes say.
    while (p + 3 <= area.size() && area[p] != 0) {
        const std::uint8_t kind = area[p];
        const std::uint8_t entryCode = area[p + 1];
        const std::uint8_t length = area[p + 2];
        if (p + 3 + length > area.size()) break;
        const std::uint8_t* value = &area[p + 3];
        p += 3 + length;
        if (code != 0 && entryCode != code) continue;
        if (sent != nullptr && sent->test(entryCode)) continue;
        budget -= length + 3;
        if (budget < 0) break;
        if (kind == kOptionText && profile.substitution != 0) {
            char expanded[255];
            std::size_t n = expandTemplate(std::string_view(reinterpret_cast<const char*>(value), length), record,
                                           expanded, sizeof expanded);
            if (n != 0 && pos_ + n + 2 >= limit_) break;
            writeString(entryCode, reinterpret_cast<const std::uint8_t*>(expanded), n);
        } else {
            if (pos_ + length + 2 >= limit_) break;
            // Byte and address entries are copied as they stand, an empty one included.
            putOption(entryCode, value, length);
        }
        if (budget <= 2) break;
    }
}

std::size_t expandTemplate(std::string_view text, const ClientRecord& record, char* out, std::size_t capacity) {
    std::size_t n = 0;
    auto append = [&](std::string_view piece) {
        for (char c : piece) {
            if (n >= capacity) return;
            out[n++] = c;
        }
    };
    const std::string_view remark = record.remark;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%' || i + 1 >= text.size()) {
            append(std::string_view(&c, 1));
            continue;
        }
        const char escape = text[++i];
        switch (escape) {
            case '1':
            case '2':
            case '3':
            case '4':
                append(word(remark, escape - '0'));
                break;
            case 'A':
                if (record.address != 0) append(formatIpv4(record.address).c_str());
                break;
            case 'F':
                append(remark);
                break;
            case 'H':
                if (record.identity->kind() == kIdentityHardware) {
                    for (std::size_t b = 0; b < record.identity->length(); ++b) {
                        char hex[3];
                        std::snprintf(hex, sizeof hex, "%2.2x", record.identity->data()[b]);
                        append(hex);
                    }
                }
                break;
            case 'N': {
                std::string_view name = record.hostName;
                std::size_t stop = 0;
                while (stop < name.size() && !isSeparator(name[stop])) ++stop;
                append(name.substr(0, stop));
                break;
            }
            default:
                append("%");
                break;
        }
    }
    return n;
}

namespace {

// Copies whole options from [from, end) into a field (or, with fieldPos at `from`, keeps them in
// place), each with room left for the end byte before fieldEnd. One too large for the room is
// passed over, so that smaller ones after it still go: a client would otherwise miss an option
// it asked for while there was room. With closeUp the options passed over are closed up from
// `from` on, in their order, for the next field; otherwise they are dropped. Returns where the
// options closed up end. The parts of a value written as several options of one code stay in
// order (the client joins them so): after a part passed over, the later parts are passed over too.
std::size_t fillField(ReplyWriter& reply, std::size_t& fieldPos, std::size_t fieldEnd, std::size_t from,
                      std::size_t end, bool closeUp) {
    std::bitset<256> passedOver;
    std::size_t kept = from;
    std::size_t p = from;
    while (p < end) {
        const std::uint8_t code = reply.at(p);
        std::size_t size = code == kPad ? 1 : (p + 1 < end ? 2u + reply.at(p + 1) : end - p);
        if (p + size > end) break;
        if (!passedOver.test(code) && fieldPos + size + 1 <= fieldEnd) {
            reply.move(fieldPos, p, size);
            fieldPos += size;
        } else {
            passedOver.set(code);
            if (closeUp) reply.move(kept, p, size);
            kept += size;
        }
        p += size;
    }
    return kept;
}

// A name option at the start of a field, when it fits.
void putNameOption(ReplyWriter& reply, std::size_t& at, std::uint8_t code, std::span<const std::uint8_t> name) {
    reply.u8(at, code);
    reply.u8(at + 1, static_cast<std::uint8_t>(name.size()));
    reply.bytes(at + 2, name.data(), name.size());
    at += 2 + name.size();
}

}  // namespace

int overloadOptions(ReplyWriter& reply, std::size_t overflowStart, std::size_t optionsEnd, std::size_t roomEnd,
                    std::span<const std::uint8_t> bootFile, std::span<const std::uint8_t> serverName, bool useOpt,
                    bool bootp) {
    int overload = 0;
    if (!bootp) {
        std::size_t left = optionsEnd;  // the options still to place end here
        if (bootFile.size() <= 125 || useOpt) {
            reply.fill(kFile, 0, kFileSize);
            std::size_t at = kFile;
            if (!useOpt && !bootFile.empty() && bootFile.size() <= 125)
                putNameOption(reply, at, kBootFileName, bootFile);
            left = fillField(reply, at, kFile + kFileSize, overflowStart, left, true);
            reply.u8(at, kEnd);
            overload |= 1;
        }
        if (serverName.size() <= 61 || useOpt) {
            reply.fill(kSname, 0, kSnameSize);
            std::size_t at = kSname;
            if (!useOpt && !serverName.empty() && serverName.size() <= 61)
                putNameOption(reply, at, kTftpServerName, serverName);
            fillField(reply, at, kSname + kSnameSize, overflowStart, left, false);
            reply.u8(at, kEnd);
            overload |= 2;
        }
    }
    if (overload != 0) {
        reply.setPosition(overflowStart);
        reply.putByteOption(kOverload, static_cast<std::uint8_t>(overload));
        return overload;
    }
    // Nothing could take the options: those that still fit in the room stay, the others go.
    std::size_t at = overflowStart;
    fillField(reply, at, roomEnd, overflowStart, optionsEnd, false);
    reply.setPosition(at);
    return 0;
}

std::size_t finishReply(ReplyWriter& reply, std::size_t minimumLength) {
    reply.putByte(kEnd);
    std::size_t length = reply.position();
    if (length < minimumLength) {
        reply.fill(length, 0, minimumLength - length);
        length = minimumLength;
    }
    return length;
}

}  // namespace tolmark::dhcp

#pragma once
// Compact forms of the variable-length client fields, as the client table stores them. A table
// of a million leases holds a million of each, so every byte counts: identities (up to 14
// bytes) and texts (up to 15 characters, a host name such as "DESKTOP-1A2B3C4") stay inside
// the record and only longer values go to the heap; profile names, of which there are few,
// are kept once each and shared by pointer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text_forms.h"

namespace tolmark {

// A text of up to 2^32-1 bytes in 16 bytes: short texts inline, longer ones on the heap. Always
// NUL-terminated, so that c_str() is free.
class StoredText {
public:
    StoredText() { clearInline(); }
    StoredText(std::string_view text) { set(text); }  // NOLINT: converts like std::string
    StoredText(const StoredText& other) { set(other.view()); }
    StoredText(StoredText&& other) noexcept;
    StoredText& operator=(const StoredText& other);
    StoredText& operator=(StoredText&& other) noexcept;
    StoredText& operator=(std::string_view text);
    ~StoredText() { freeHeap(); }

    std::string_view view() const { return {data(), size()}; }
    operator std::string_view() const { return view(); }  // NOLINT: reads like std::string
    const char* c_str() const { return data(); }
    const char* data() const;
    std::size_t size() const;
    bool empty() const { return size() == 0; }
    void clear() { *this = std::string_view(); }

    friend bool operator==(const StoredText& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const StoredText& a, const StoredText& b) { return a.view() == b.view(); }

private:
    static constexpr std::size_t kInline = 15;  // characters
    static constexpr std::uint8_t kHeapTag = 0xFF;

    void set(std::string_view text);
    void clearInline();
    void freeHeap();
    bool onHeap() const { return static_cast<std::uint8_t>(raw_[15]) == kHeapTag; }

    // Inline: the characters, NULs up to byte 15, and 15 minus the length in byte 15, which is
    // then the terminating NUL of a text of 15 characters. Heap: a pointer in bytes 0-7, the
    // length in bytes 8-11, and kHeapTag in byte 15.
    alignas(8) char raw_[16];
};
static_assert(sizeof(StoredText) == 16);

// A client identity (kind, length, bytes) in 16 bytes: up to 14 bytes inline, longer ones on
// the heap.
class StoredIdentity {
public:
    StoredIdentity() { raw_[0] = kIdentityHardware, raw_[1] = 0; }
    StoredIdentity(const Identity& identity) : StoredIdentity() { set(identity); }  // NOLINT: like Identity
    StoredIdentity(const StoredIdentity& other) : StoredIdentity() { set(other.get()); }
    StoredIdentity(StoredIdentity&& other) noexcept;
    StoredIdentity& operator=(const StoredIdentity& other);
    StoredIdentity& operator=(StoredIdentity&& other) noexcept;
    StoredIdentity& operator=(const Identity& identity);
    ~StoredIdentity() { freeHeap(); }

    std::uint8_t kind() const { return raw_[0]; }
    void setKind(std::uint8_t kind) { raw_[0] = kind; }
    std::uint8_t length() const { return raw_[1]; }
    const std::uint8_t* data() const;
    // The identity with its bytes beyond the length zeroed.
    Identity get() const;
    operator Identity() const { return get(); }  // NOLINT: reads like Identity
    bool equals(const Identity& identity) const;
    friend bool operator==(const StoredIdentity& a, const Identity& b) { return a.equals(b); }

private:
    static constexpr std::size_t kInline = 14;

    void set(const Identity& identity);
    void freeHeap();

    // Byte 0 the kind, byte 1 the length; the bytes from byte 2, or a pointer in bytes 8-15
    // when the length is above kInline.
    alignas(8) std::uint8_t raw_[16];
};
static_assert(sizeof(StoredIdentity) == 16);

// A profile name, kept once for the whole process and shared by pointer. The empty name needs
// no storage. Names are few (one per profile, and those of old records), so they are never
// given back.
class StoredProfileName {
public:
    StoredProfileName() = default;
    StoredProfileName(std::string_view name) { *this = name; }  // NOLINT: converts like std::string
    StoredProfileName& operator=(std::string_view name);

    std::string_view view() const { return name_ == nullptr ? std::string_view() : std::string_view(*name_); }
    operator std::string_view() const { return view(); }  // NOLINT: reads like std::string
    const char* c_str() const { return name_ == nullptr ? "" : name_->c_str(); }
    std::size_t size() const { return view().size(); }
    bool empty() const { return name_ == nullptr; }
    void clear() { name_ = nullptr; }

    friend bool operator==(const StoredProfileName& a, std::string_view b) { return a.view() == b; }

private:
    const std::string* name_ = nullptr;
};
static_assert(sizeof(StoredProfileName) == 8);

}  // namespace tolmark

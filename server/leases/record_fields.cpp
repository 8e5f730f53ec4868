#include "server/leases/record_fields.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace tolmark {

// ---- StoredText -------------------------------------------------------------------------------

void StoredText::clearInline() {
    std::memset(raw_, 0, sizeof raw_);
    raw_[15] = static_cast<char>(kInline);  // the empty text
}

void StoredText::freeHeap() {
    if (!onHeap()) return;
    char* heap = nullptr;
    std::memcpy(&heap, raw_, sizeof heap);
    std::unique_ptr<char[]> owned(heap);
    clearInline();
}

void StoredText::set(std::string_view text) {
    if (text.size() <= kInline) {
        clearInline();
        if (!text.empty()) std::memcpy(raw_, text.data(), text.size());
        raw_[15] = static_cast<char>(kInline - text.size());
        return;
    }
    // Allocated before anything changes, so that a failure leaves the old value.
    auto heap = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(heap.get(), text.data(), text.size());
    heap[text.size()] = '\0';
    const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), UINT32_MAX));
    char* pointer = heap.release();
    std::memcpy(raw_, &pointer, sizeof pointer);
    std::memcpy(raw_ + 8, &length, sizeof length);
    raw_[15] = static_cast<char>(kHeapTag);
}

StoredText::StoredText(StoredText&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.clearInline();
}

StoredText& StoredText::operator=(const StoredText& other) {
    if (this != &other) *this = other.view();
    return *this;
}

StoredText& StoredText::operator=(StoredText&& other) noexcept {
    if (this != &other) {
        freeHeap();
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.clearInline();
    }
    return *this;
}

StoredText& StoredText::operator=(std::string_view text) {
    // The text may lie inside this one: set a copy first, then free the old heap.
    StoredText fresh;
    fresh.set(text);
    return *this = std::move(fresh);
}

const char* StoredText::data() const {
    if (!onHeap()) return raw_;
    const char* heap = nullptr;
    std::memcpy(&heap, raw_, sizeof heap);
    return heap;
}

std::size_t StoredText::size() const {
    if (!onHeap()) return kInline - static_cast<std::uint8_t>(raw_[15]);
    std::uint32_t length = 0;
    std::memcpy(&length, raw_ + 8, sizeof length);
    return length;
}

// ---- StoredIdentity ---------------------------------------------------------------------------

void StoredIdentity::freeHeap() {
    if (raw_[1] <= kInline) return;
    std::uint8_t* heap = nullptr;
    std::memcpy(&heap, raw_ + 8, sizeof heap);
    std::unique_ptr<std::uint8_t[]> owned(heap);
    raw_[1] = 0;
}

void StoredIdentity::set(const Identity& identity) {
    const std::size_t length = std::min<std::size_t>(identity.length, identity.bytes.size());
    std::uint8_t fresh[16] = {identity.kind, static_cast<std::uint8_t>(length)};
    if (length <= kInline) {
        std::memcpy(fresh + 2, identity.bytes.data(), length);
    } else {
        auto heap = std::make_unique<std::uint8_t[]>(length);
        std::memcpy(heap.get(), identity.bytes.data(), length);
        std::uint8_t* pointer = heap.release();
        std::memcpy(fresh + 8, &pointer, sizeof pointer);
    }
    // The old value goes only once the new one is complete.
    freeHeap();
    std::memcpy(raw_, fresh, sizeof raw_);
}

StoredIdentity::StoredIdentity(StoredIdentity&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.raw_[1] = 0;  // the heap bytes, if any, are this one's now
}

StoredIdentity& StoredIdentity::operator=(StoredIdentity&& other) noexcept {
    if (this != &other) {
        freeHeap();
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.raw_[1] = 0;
    }
    return *this;
}

StoredIdentity& StoredIdentity::operator=(const StoredIdentity& other) {
    if (this != &other) *this = other.get();
    return *this;
}

StoredIdentity& StoredIdentity::operator=(const Identity& identity) {
    set(identity);
    return *this;
}

const std::uint8_t* StoredIdentity::data() const {
    if (raw_[1] <= kInline) return raw_ + 2;
    const std::uint8_t* heap = nullptr;
    std::memcpy(&heap, raw_ + 8, sizeof heap);
    return heap;
}

Identity StoredIdentity::get() const {
    Identity identity;
    identity.kind = kind();
    identity.length = length();
    std::memcpy(identity.bytes.data(), data(), length());
    return identity;
}

bool StoredIdentity::equals(const Identity& identity) const {
    return identity.kind == kind() && identity.length == length() &&
           std::memcmp(identity.bytes.data(), data(), length()) == 0;
}

// ---- StoredProfileName ------------------------------------------------------------------------

namespace {

struct ProfileNames {
    std::mutex lock;
    std::unordered_set<std::string> names;  // nodes never move: records point at them
};

ProfileNames& profileNames() {
    static ProfileNames names;
    return names;
}

}  // namespace

StoredProfileName& StoredProfileName::operator=(std::string_view name) {
    if (name.empty()) {
        name_ = nullptr;
        return *this;
    }
    if (name_ != nullptr && *name_ == name) return *this;
    // Records are mostly given the name given last (a file's lines, a pool's leases): that one
    // needs neither the lock nor a look-up. Names are never freed, so the pointer stays good.
    thread_local const std::string* last = nullptr;
    if (last != nullptr && *last == name) {
        name_ = last;
        return *this;
    }
    ProfileNames& names = profileNames();
    std::lock_guard hold(names.lock);
    const auto found = names.names.find(std::string(name));
    name_ = found != names.names.end() ? &*found : &*names.names.emplace(name).first;
    last = name_;
    return *this;
}

}  // namespace tolmark

#include "config/interface_table.h"

#include <string>

namespace tolmark {
namespace {

constexpr std::size_t kListCapacity = 512;
constexpr std::size_t kMaxListItems = 32;

// The addresses of a list setting: items separated by "," (as written back), or by ";" or
// blanks as a hand-written list may have them; items that do not read as an address are skipped
// (and handed to skipped, when given, as are items with text after their address); at most 32
// items looked at.
bool isListSeparator(char c) { return kListSeparators.find(c) != std::string_view::npos; }

std::vector<Ipv4> parseAddressList(std::string_view text, std::vector<std::string>* skipped = nullptr) {
    std::vector<Ipv4> result;
    std::size_t items = 0;
    std::size_t pos = 0;
    while (items < kMaxListItems) {
        while (pos < text.size() && isListSeparator(text[pos])) ++pos;
        if (pos >= text.size()) break;
        std::size_t end = pos;
        while (end < text.size() && !isListSeparator(text[end])) ++end;
        const std::string_view item = text.substr(pos, end - pos);
        pos = end;
        ++items;
        const ParsedIpv4 parsed = parseIpv4(item);
        if (parsed.ok) result.push_back(parsed.address);
        if ((!parsed.ok || parsed.end != item.size()) && skipped != nullptr) skipped->emplace_back(item);
    }
    return result;
}

bool isSkipped(Ipv4 address) { return address == 0 || address == makeIpv4(127, 0, 0, 1); }

}  // namespace

Ipv4 classMask(Ipv4 address) {
    std::uint8_t first = ipv4Octet(address, 0);
    if (first >= 192) return makeIpv4(255, 255, 255, 0);
    if (first >= 128) return makeIpv4(255, 255, 0, 0);
    return makeIpv4(255, 0, 0, 0);
}

void reportAddressLists(const ConfigStore& store, std::string_view section) {
    if (store.findings() == nullptr) return;
    const bool include = !store.readText(section, "Include", "", kListCapacity).empty();
    for (const char* key : {include ? "Include" : "Exclude", "Trusted"}) {
        std::vector<std::string> skipped;
        parseAddressList(store.readText(section, key, "", kListCapacity), &skipped);
        for (const std::string& item : skipped) {
            const ParsedIpv4 parsed = parseIpv4(item);
            if (parsed.ok)
                store.report(FindingLevel::Warning, section, key,
                             "\"" + item + "\" is an address followed by other text",
                             "the start takes it as " + std::string(formatIpv4(parsed.address).c_str()));
            else
                store.report(FindingLevel::Warning, section, key, "\"" + item + "\" is not an IPv4 address",
                             "the start skips this item of the list");
        }
    }
}

bool InterfaceTable::appendLocked(const InterfaceEntry& entry) {
    if (count_ >= kMaxInterfaces) return false;
    entries_[count_++] = entry;
    return true;
}

// An address the configuration names before the host has it: the class mask stands in for the
// host's until the address appears.
void InterfaceTable::appendAbsentLocked(Ipv4 address, std::int32_t flags, std::int64_t now) {
    InterfaceEntry e;
    e.address = address;
    e.mask = classMask(address);
    e.flags = flags;
    e.missingSince = now;
    appendLocked(e);
}

bool InterfaceTable::build(const ConfigStore& store, std::string_view section, platform::HostAddressSource& host,
                           std::int64_t now, LogSink& log) {
    std::string include = store.readText(section, "Include", "", kListCapacity);
    std::string listText = include;
    int mode = include.empty() ? 0 : 1;
    if (mode == 0) listText = store.readText(section, "Exclude", "", kListCapacity);
    std::string trusted = store.readText(section, "Trusted", "", kListCapacity);

    std::vector<platform::HostAddress> rows;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        selectionMode_ = mode;
        count_ = 0;
    }
    // Without the host's table the lists still make their entries (none of them present), so
    // that the first reload that reads the table serves what they say, and a rewrite of the
    // keys keeps them.
    const bool hostRead = host.read(rows);
    if (!hostRead) rows.clear();

    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& row : rows) {
        if (isSkipped(row.address)) continue;
        InterfaceEntry e;
        e.ifIndex = row.ifIndex;
        e.address = row.address;
        e.mask = row.mask;
        e.flags = mode == 1 ? kIfPresent : kIfPresent | kIfServed;
        if (!appendLocked(e)) break;
    }
    for (Ipv4 address : parseAddressList(listText)) {
        bool found = false;
        for (std::size_t i = 0; i < count_; ++i) {
            if (entries_[i].address != address) continue;
            found = true;
            if (mode == 0)
                entries_[i].flags &= ~kIfServed;
            else
                entries_[i].flags |= kIfServed;
        }
        // An address the host does not have yet gets an entry of its own, so that its choice
        // holds when it appears: one to serve is served at once, and one to leave alone (an
        // interface that comes up after the start) is not served as a newcomer would be.
        if (!found) appendAbsentLocked(address, mode == 1 ? kIfServed : 0, now);
    }
    for (Ipv4 address : parseAddressList(trusted)) {
        bool found = false;
        for (std::size_t i = 0; i < count_; ++i) {
            if (entries_[i].address != address) continue;
            found = true;
            entries_[i].flags |= kIfTrusted;
        }
        // Trusted once it appears, and served then as any newcomer of the mode would be.
        if (!found) appendAbsentLocked(address, mode == 1 ? kIfTrusted : kIfServed | kIfTrusted, now);
    }
    if (!hostRead || count_ == 0) return false;
    logPresent(log);
    return true;
}

void InterfaceTable::logPresent(LogSink& log) const {
    if (log.level() < 2) return;
    for (std::size_t i = 0; i < count_; ++i) {
        const InterfaceEntry& e = entries_[i];
        if (!e.present()) continue;
        const char* suffix = !e.served() ? ", excluded" : (e.flags & kIfTrusted) ? ", trusted" : "";
        log.line(2, false, "local IP address %s%s\n", formatIpv4(e.address).c_str(), suffix);
    }
}

bool InterfaceTable::reload(platform::HostAddressSource& host, std::int64_t now, LogSink& log) {
    std::vector<platform::HostAddress> rows;
    if (!host.read(rows)) {
        log.line(2, false, "local IP address reload failed\n");
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    std::array<bool, kMaxInterfaces> seen{};
    for (const auto& row : rows) {
        if (isSkipped(row.address)) continue;
        // The entry this row continues: the one of its address on its interface, else one of its
        // address that no row of this pass took yet. An address the host has on two interfaces
        // keeps an entry for each, so that both keep being served.
        std::size_t found = count_;
        const InterfaceEntry* sibling = nullptr;
        for (std::size_t i = 0; i < count_; ++i) {
            if (entries_[i].address != row.address) continue;
            if (sibling == nullptr) sibling = &entries_[i];
            if (seen[i]) continue;
            if (entries_[i].ifIndex == row.ifIndex) {
                found = i;
                break;
            }
            if (found == count_) found = i;
        }
        if (found < count_) {
            InterfaceEntry& e = entries_[found];
            e.ifIndex = row.ifIndex;
            e.mask = row.mask;
            if (!e.present()) {
                e.flags |= kIfPresent;
                log.line(1, false, "local IP address %s, added\n", formatIpv4(e.address).c_str());
            }
            e.missingSince = -1;
            seen[found] = true;
            continue;
        }
        InterfaceEntry e;
        e.ifIndex = row.ifIndex;
        e.address = row.address;
        e.mask = row.mask;
        if (count_ < kMaxInterfaces) {
            // Served and trusted belong to the address: a further copy of it takes them along.
            e.flags = sibling != nullptr    ? kIfPresent | (sibling->flags & (kIfServed | kIfTrusted))
                      : selectionMode_ == 1 ? kIfPresent
                                            : kIfPresent | kIfServed;
            seen[count_] = true;
            appendLocked(e);
        } else {
            // Full: reuse the entry that has been missing longest (the first on equal times). A
            // newcomer in a full table is listed but not served in either mode.
            std::size_t oldest = count_;
            for (std::size_t i = 0; i < count_; ++i) {
                if (entries_[i].present() || seen[i]) continue;
                if (oldest == count_ || entries_[i].missingSince < entries_[oldest].missingSince) oldest = i;
            }
            if (oldest == count_) continue;
            e.flags = kIfPresent;
            entries_[oldest] = e;
            seen[oldest] = true;
        }
        log.line(1, false, "local IP address %s, added\n", formatIpv4(e.address).c_str());
    }
    for (std::size_t i = 0; i < count_; ++i) {
        if (seen[i]) continue;
        InterfaceEntry& e = entries_[i];
        // Logged and timed once, when the address goes: later reloads leave a missing entry alone.
        if (e.present()) {
            e.flags &= ~kIfPresent;
            log.line(1, false, "local IP address %s, removed\n", formatIpv4(e.address).c_str());
        }
        if (e.missingSince < 0) e.missingSince = now;
    }
    return true;
}

void InterfaceTable::setServed(Ipv4 address, bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        if (entries_[i].address != address) continue;
        if (on)
            entries_[i].flags |= kIfServed;
        else
            entries_[i].flags &= ~kIfServed;
    }
}

void InterfaceTable::setTrusted(Ipv4 address, bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        if (entries_[i].address != address) continue;
        if (on)
            entries_[i].flags |= kIfTrusted;
        else
            entries_[i].flags &= ~kIfTrusted;
    }
}

int InterfaceTable::indexOf(Ipv4 address) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        if (entries_[i].address == address) return static_cast<int>(i + 1);
    }
    return 0;
}

bool InterfaceTable::isHostAddress(Ipv4 address) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        if (entries_[i].address == address && entries_[i].present()) return true;
    }
    return false;
}

bool InterfaceTable::isTrusted(Ipv4 address) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        if (entries_[i].address == address && (entries_[i].flags & kIfTrusted)) return true;
    }
    return false;
}

bool InterfaceTable::writeKeys(ConfigStore& store, std::string_view section) const {
    KeyChanges changes;
    addKeys(changes, section);
    return store.write(changes);
}

void InterfaceTable::addKeys(KeyChanges& changes, std::string_view section) const {
    std::string served, notServed, trusted;
    int mode;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        mode = selectionMode_;
        // An address on two interfaces is listed once.
        auto add = [](std::string& list, Ipv4 address) {
            const std::string item = formatIpv4(address).c_str();
            if (("," + list + ",").find("," + item + ",") != std::string::npos) return;
            if (!list.empty()) list += ',';
            list += item;
        };
        // Addresses that are away at the moment keep their place in the lists, so that a
        // change made while an interface is down does not lose its configuration.
        for (std::size_t i = 0; i < count_; ++i) {
            const InterfaceEntry& e = entries_[i];
            if (e.served())
                add(served, e.address);
            else
                add(notServed, e.address);
            if (e.flags & kIfTrusted) add(trusted, e.address);
        }
    }
    auto textOrNone = [](const std::string& s) -> std::optional<std::string_view> {
        if (s.empty()) return std::nullopt;
        return std::string_view(s);
    };
    if (mode == 1) {
        changes.text(section, "Include", textOrNone(served));
        changes.text(section, "Exclude", std::nullopt);
    } else {
        changes.text(section, "Include", std::nullopt);
        changes.text(section, "Exclude", textOrNone(notServed));
    }
    changes.text(section, "Trusted", textOrNone(trusted));
}

int InterfaceTable::selectionMode() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return selectionMode_;
}

void InterfaceTable::setSelectionMode(int mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    selectionMode_ = mode != 0 ? 1 : 0;
}

std::size_t InterfaceTable::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
}

std::optional<InterfaceEntry> InterfaceTable::entry(std::size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (index >= count_) return std::nullopt;
    return entries_[index];
}

std::vector<InterfaceEntry> InterfaceTable::entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::vector<InterfaceEntry>(entries_.begin(), entries_.begin() + static_cast<long>(count_));
}

int InterfaceTable::ifIndexForNeighbour(Ipv4 address) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        const InterfaceEntry& e = entries_[i];
        if (e.present() && e.holds(address)) return e.ifIndex;
    }
    return -1;
}

void InterfaceTable::fillStatus(ServerStatus& status) const {
    std::lock_guard<std::mutex> guard(mutex_);
    status.interfaceCount = static_cast<std::int32_t>(count_);
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        InterfaceEntryImage& image = status.interfaces[i];
        if (i >= count_) {
            image = InterfaceEntryImage{};
            continue;
        }
        image.ifIndex = entries_[i].ifIndex;
        image.address = entries_[i].address;
        image.mask = entries_[i].mask;
        image.flags = entries_[i].flags;
    }
}

}  // namespace tolmark

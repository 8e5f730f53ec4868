#pragma once
// The local interface table: the host's IPv4 addresses (and addresses the configuration names
// before the host has them), each with the flags present, served and trusted. At most 32
// entries; an entry is never removed, so an address that leaves the host and comes back keeps
// its flags. Internally locked: the receive loop rebuilds it while control-pipe threads read it
// and change flags.

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "base/ipv4.h"
#include "common/log_sink.h"
#include "common/settings_blocks.h"
#include "config/config_store.h"
#include "platform/host_addresses.h"

namespace tolmark {

struct InterfaceEntry {
    std::int32_t ifIndex = -1;  // -1 until the address has been present
    Ipv4 address = 0;
    Ipv4 mask = 0;
    std::int32_t flags = 0;          // kIfPresent | kIfServed | kIfTrusted
    std::int64_t missingSince = -1;  // when the address was found missing; -1 while present

    bool present() const { return (flags & kIfPresent) != 0; }
    bool served() const { return (flags & kIfServed) != 0; }
    bool presentAndServed() const { return present() && served(); }
    Ipv4 broadcast() const { return address | ~mask; }
    bool holds(Ipv4 other) const { return (address & mask) == (other & mask); }
};

// 255.255.255.0 from 192 up, 255.255.0.0 from 128 to 191, else 255.0.0.0.
Ipv4 classMask(Ipv4 address);

// Reports to the store's findings the items of "Include" (or "Exclude") and "Trusted" that
// build() skips because they do not read as addresses.
void reportAddressLists(const ConfigStore& store, std::string_view section);

class InterfaceTable {
public:
    // Builds the table from the host's addresses and "Include", "Exclude" and "Trusted".
    // False when the host's table cannot be read or the table stays empty.
    bool build(const ConfigStore& store, std::string_view section, platform::HostAddressSource& host, std::int64_t now,
               LogSink& log);
    // Follows the host's current addresses; the settings are not read again.
    bool reload(platform::HostAddressSource& host, std::int64_t now, LogSink& log);

    void setServed(Ipv4 address, bool on);
    void setTrusted(Ipv4 address, bool on);
    // Entry number counted from 1, or 0.
    int indexOf(Ipv4 address) const;
    bool isTrusted(Ipv4 address) const;
    // The address is one the host has now (a present entry).
    bool isHostAddress(Ipv4 address) const;
    // Writes "Include" or "Exclude", and "Trusted", from the flags, in one rewrite of the file.
    bool writeKeys(ConfigStore& store, std::string_view section) const;
    // The same keys as changes, for a caller that writes them along with others.
    void addKeys(KeyChanges& changes, std::string_view section) const;

    int selectionMode() const;
    // 1: only the listed addresses are served, and an address that appears later is not;
    // 0: every address but the listed ones, and a new one is served. The entries keep their
    // flags; writeKeys then writes the list of the new mode.
    void setSelectionMode(int mode);
    std::size_t size() const;
    std::optional<InterfaceEntry> entry(std::size_t index) const;
    std::vector<InterfaceEntry> entries() const;
    // The interface index for a temporary ARP entry: the first present entry whose subnet
    // holds the address; -1 when there is none.
    int ifIndexForNeighbour(Ipv4 address) const;
    // Fills the interface count, indexes, addresses, masks and flags of the status record.
    void fillStatus(ServerStatus& status) const;

private:
    bool appendLocked(const InterfaceEntry& entry);
    void appendAbsentLocked(Ipv4 address, std::int32_t flags, std::int64_t now);
    void logPresent(LogSink& log) const;

    mutable std::mutex mutex_;
    std::array<InterfaceEntry, kMaxInterfaces> entries_{};
    std::size_t count_ = 0;
    int selectionMode_ = 0;
};

}  // namespace tolmark

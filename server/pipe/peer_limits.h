#pragma once
// What one peer of the control pipe may hold at once. A peer is a local user (by uid) or,
// together, every remote TCP peer. Connections and open searches and files are counted per
// peer, so that no user can take the descriptors and connection slots that the server's own
// saves and the administrator's requests need.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace tolmark {

using PeerKey = std::uint64_t;
// Every TCP peer counts as this one peer: they cannot be told apart.
inline constexpr PeerKey kRemotePeer = PeerKey{1} << 32;
// The count of every peer without write permission together.
inline constexpr PeerKey kUnprivilegedPeers = PeerKey{2} << 32;
inline PeerKey localPeer(uid_t uid) { return static_cast<PeerKey>(uid); }

struct PeerLimits {
    std::size_t handlesPerPeer = 32;            // open searches and files, all connections together
    std::size_t unprivilegedHandles = 256;      // the same, of all peers without write permission
    std::size_t connectionsPerUser = 16;        // local connections of one user without write permission
    std::size_t localConnections = 96;          // local connections without write permission, all users
    std::size_t administratorConnections = 64;  // kept apart, so an administrator always gets in
    std::size_t remoteConnections = 32;         // TCP peers together
    int remoteIdleMs = 30000;                   // a TCP peer silent this long is disconnected
};

// Counts per peer under its own lock (connections end outside the control pipe lock).
class PeerCounter {
public:
    // Takes one if the peer holds fewer than limit; false otherwise.
    bool take(PeerKey peer, std::size_t limit);
    void give(PeerKey peer, std::size_t count = 1);
    std::size_t held(PeerKey peer) const;

private:
    mutable std::mutex lock_;
    std::unordered_map<PeerKey, std::size_t> held_;
};

}  // namespace tolmark

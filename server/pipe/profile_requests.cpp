// Profiles: reload, purge of dynamic entries outside their pools, read, rename and the two
// checks the profile editor makes before it saves. All under the engine lock, which guards the
// profiles and the pool state.

#include <algorithm>
#include <cstdio>

#include "common/entry_line.h"
#include "common/pipe_requests.h"
#include "config/profiles.h"
#include "server/dhcp/dns_removal.h"
#include "server/leases/client_rules.h"
#include "server/pipe/request_parts.h"

namespace tolmark::pipe_requests {

namespace {

bool sameValue(const CountedValue& a, std::string_view b) {
    const auto value = a.value();
    return value.size() == b.size() && std::equal(value.begin(), value.end(), b.begin(), [](std::uint8_t x, char y) {
               return x == static_cast<std::uint8_t>(y);
           });
}

// The relay-agent profile a request from this relay with this selector would get: a profile
// whose value the selector cannot tell apart from its own counts as a match.
const Profile* relayProfileFor(const ProfileList& profiles, const CheckSelectorRequest& query) {
    return profiles.relayProfile(query.relay, [&](const Profile& profile) {
        const auto type = static_cast<std::uint32_t>(profile.relaySelectorType);
        return query.type == 0 || query.type != type || sameValue(profile.selectorValue, query.value);
    });
}

}  // namespace

PipeMessage reloadProfiles(ProfileRequest& request) {
    ProfileAccess& context = request.context;
    EngineState& engine = context.engine;
    const OptionCodeList defaults = context.settings.withDhcp([](const DhcpSettings& d) { return d.defaultOptions; });
    std::size_t count = 0;
    {
        Hold hold(engine.lock);
        count = engine.profiles.load(context.store, defaults, context.interfaces, context.log, context.log.level() > 1);
        context.counters.profileCount = static_cast<std::int32_t>(count);
        context.counters.poolTotal = engine.profiles.poolTotal();
    }
    if (context.startNameLookup) context.startNameLookup();
    return valueReply(static_cast<std::int32_t>(count));
}

PipeMessage purgeDynamic(ProfileRequest& request) {
    ProfileAccess& context = request.context;
    EngineState& engine = context.engine;
    const bool autoExclude = context.settings.general().autoExclude != 0;
    Hold hold(engine.lock);
    purgeDynamic(engine.clients, engine.profiles, autoExclude,
                 dhcp::queueTableLeaseRemovals(context.dnsQueue, context.clock, engine.profiles));
    // The records the purge freed leave the lease database too.
    if (context.shared != nullptr) context.shared->writeJournal(engine.clients, 0);
    const std::int32_t total = engine.profiles.poolTotal();
    context.counters.poolTotal = total;
    return valueReply(total);
}

PipeMessage getProfile(ProfileRequest& request) {
    ProfileAccess& context = request.context;
    EngineState& engine = context.engine;
    Hold hold(engine.lock);
    const auto& all = engine.profiles.profiles();
    const Profile* profile = nullptr;
    if (request.value >= 0) {
        if (static_cast<std::size_t>(request.value) < all.size())
            profile = &all[static_cast<std::size_t>(request.value)];
    } else {
        const std::optional<std::string> name = decodeProfileName(request.bytes);
        if (!name) return sizeCheckFailed(request);
        profile = engine.profiles.find(*name);
    }
    if (profile == nullptr) return statusReply(kPipeDone);
    const int use = profileUse(engine.clients, profile->name, engine.profiles);
    return valueReply(use, encodeProfileRecord(*profile));
}

PipeMessage renameProfile(ProfileRequest& request) {
    ProfileAccess& context = request.context;
    EngineState& engine = context.engine;
    const std::optional<RenameProfileRequest> rename = decodeRenameProfile(request.bytes);
    if (!rename) return sizeCheckFailed(request);
    const std::string& oldName = rename->oldName;
    const std::string& newName = rename->newName;
    // The profile list keys are numbered from 0 up; an empty old name names no section, and
    // the general section is never a profile's to move or delete. A new name that fills its
    // whole field has no room for its NUL: the list key is read back as its first 23
    // characters, which would name a profile without a section. Nor is a profile given a name
    // that the client files cannot hold.
    if (oldName.empty() || rename->number < 0 || profileNameEquals(oldName, kGeneralSection) ||
        profileNameEquals(newName, kGeneralSection) || newName.size() > kProfileNameChars ||
        (!newName.empty() && !entryLineHoldsProfile(newName)))
        return valueReply(0);
    Hold hold(engine.lock);
    if (newName.empty()) return valueReply(context.store.deleteSection(oldName) ? 1 : 0);
    char key[24];
    std::snprintf(key, sizeof key, "Profile%u", static_cast<unsigned>(rename->number));
    // The list key to be rewritten must name this profile, and the new name must be nobody
    // else's: the move replaces a section of that name, and the list would name one profile
    // twice. A manager whose list is out of date is refused rather than trusted.
    const bool sameName = profileNameEquals(oldName, newName);
    if (!profileNameEquals(context.store.readText(kGeneralSection, key, "", kProfileNameField), oldName) ||
        (!sameName && (engine.profiles.find(newName) != nullptr || context.store.openSection(newName))))
        return valueReply(0);
    // The section and the list key that names it change in one rewrite: a list naming the old
    // section after the move would load the profile empty.
    if (!context.store.moveSection(oldName, newName, KeyChanges().text(kGeneralSection, key, newName)))
        return valueReply(0);
    engine.clients.renameProfileInRecords(oldName, newName);
    if (context.shared != nullptr) context.shared->writeJournal(engine.clients, 0);
    return valueReply(1);
}

PipeMessage checkAddressProfile(ProfileRequest& request) {
    const std::optional<Ipv4> address = decodeCheckAddressProfile(request.bytes);
    if (!address) return sizeCheckFailed(request);
    if (*address == 0) return valueReply(0);
    ProfileAccess& context = request.context;
    EngineState& engine = context.engine;
    Hold hold(engine.lock);
    for (const Profile& profile : engine.profiles.profiles()) {
        if (profile.selectorKind == SelectorKind::Interface && profile.selectorAddress == *address)
            return valueReply(1);
    }
    return valueReply(0);
}

PipeMessage checkProfileSelector(ProfileRequest& request) {
    const std::optional<CheckSelectorRequest> query = decodeCheckSelector(request.bytes);
    if (!query) return sizeCheckFailed(request);
    ProfileAccess& context = request.context;
    EngineState& engine = context.engine;
    Hold hold(engine.lock);
    const Profile* found = relayProfileFor(engine.profiles, *query);
    const bool other =
        found != nullptr && found->selectorAddress != kBroadcastAll && !profileNameEquals(found->name, query->profile);
    return valueReply(other ? 1 : 0);
}

}  // namespace tolmark::pipe_requests

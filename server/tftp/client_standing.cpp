#include "server/tftp/client_standing.h"

namespace tolmark::tftp {

ClientStanding standingOf(Ipv4 address, const ProfileList& profiles, const std::optional<std::string>& staticProfile) {
    ClientStanding standing;
    const Profile* profile = nullptr;
    if (staticProfile) {
        standing.hasStaticEntry = true;
        profile = staticProfile->empty() ? profiles.first() : profiles.find(*staticProfile);
    }
    if (profile == nullptr) {
        for (const Profile& candidate : profiles.profiles()) {
            if (candidate.hasPool() && candidate.poolContains(address)) {
                profile = &candidate;
                break;
            }
        }
    }
    if (profile != nullptr) {
        standing.known = true;
        standing.profile = profile->name;
        standing.bootFile = profile->bootFile;
        standing.bootFile2 = profile->bootFile2;
        standing.alternate = profile->alternate != 0;
    }
    return standing;
}

}  // namespace tolmark::tftp

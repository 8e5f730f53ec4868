// The decision of "RunAsUser" against a scripted process identity: which change is made, what
// is written, and when the server must not start.

#include "server/host/run_as_user.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolmark {
namespace {

using platform::Capability;

class ScriptedIdentity final : public platform::ProcessIdentity {
public:
    std::optional<platform::UserAccount> findUser(std::string_view name) override {
        for (const auto& u : users)
            if (u.name == name) return u;
        return std::nullopt;
    }
    uid_t effectiveUser() override { return euid; }
    bool mayChangeUser() override { return euid == 0; }
    bool changeTo(const platform::UserAccount& account, std::span<const Capability> keep, std::string& error) override {
        calls = "changeTo " + account.name + " keeping " + std::to_string(keep.size());
        error = failure;
        if (failure.empty()) euid = account.uid;
        return failure.empty();
    }
    bool limitTo(std::span<const Capability> keep, std::string& error) override {
        calls = "limitTo keeping " + std::to_string(keep.size());
        error = failure;
        return failure.empty();
    }
    bool hasCapability(Capability c) override { return c == Capability::NetBindService || rawToo; }

    std::vector<platform::UserAccount> users{{"root", 0, 0, "/root"}, {"tolmark", 990, 991, "/var/lib/tolmark"}};
    uid_t euid = 0;
    std::string failure;
    bool rawToo = true;
    std::string calls;
};

TEST(RunAsUser, DecidesTheChangeAndWhatIsWritten) {
    const std::string as = "DHCP  Start   as user ", refused = "DHCP  Error   RunAsUser ";
    const std::string both = "capabilities cap_net_bind_service,cap_net_raw";
    struct Case {
        const char* name;
        uid_t euid;
        const char* failure;
        bool rawToo;
        std::string line;  // an error line means: not started
        std::string calls;
    } cases[] = {
        {"", 0, "", true, "", ""},
        {"ghost", 0, "", true, refused + "ghost: no such user; not started", ""},
        {"tolmark", 0, "", true, as + "tolmark (uid 990, gid 991), " + both, "changeTo tolmark keeping 2"},
        {"tolmark", 0, "bad", true, refused + "tolmark: bad; not started", "changeTo tolmark keeping 2"},
        // Started as the user, as the service unit starts it: only what it holds is named.
        {"tolmark", 990, "", false, as + "tolmark (uid 990, gid 991), capabilities cap_net_bind_service",
         "limitTo keeping 2"},
        {"tolmark", 990, "bad", true, refused + "tolmark: bad; not started", "limitTo keeping 2"},
        {"tolmark", 1000, "", true, refused + "tolmark: started as uid 1000, which cannot change user; not started",
         ""},
        {"root", 0, "", true, as + "root (uid 0, gid 0), " + both, ""},
        {"root", 990, "", true, refused + "root: started as uid 990, which cannot change user; not started", ""},
    };
    for (const Case& c : cases) {
        ScriptedIdentity identity;
        identity.euid = c.euid;
        identity.failure = c.failure;
        identity.rawToo = c.rawToo;
        const RunAsOutcome outcome = takeRunAsUser(c.name, identity);
        EXPECT_EQ(outcome.start, c.line.find("Error") == std::string::npos) << c.name << " as " << c.euid;
        EXPECT_EQ(outcome.line, c.line);
        EXPECT_EQ(identity.calls, c.calls) << c.name << " as " << c.euid;
    }
}

}  // namespace
}  // namespace tolmark

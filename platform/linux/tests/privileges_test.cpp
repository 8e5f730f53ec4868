// The change of user as root makes it, in a child process: the ids and the environment.

#include "platform/privileges.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tolmark::platform {
namespace {

TEST(Privileges, ChangingUserGivesTheProcessTheUsersEnvironment) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may change user";
    std::unique_ptr<ProcessIdentity> identity = makeProcessIdentity();
    const std::optional<UserAccount> nobody = identity->findUser("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody";
    ASSERT_FALSE(nobody->home.empty());
    ::setenv("HOME", "/root", 1);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit status: 0 when the change was made and the environment is the user's.
        std::string error;
        if (!identity->changeTo(*nobody, kServerCapabilities, error)) ::_exit(1);
        auto is = [](const char* name, const std::string& value) {
            const char* set = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): one thread here
            return set != nullptr && value == set;
        };
        if (::geteuid() != nobody->uid) ::_exit(2);
        if (!is("HOME", nobody->home) || !is("USER", nobody->name) || !is("LOGNAME", nobody->name)) ::_exit(3);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not changed, 2: other user, 3: environment not the user's";
}

}  // namespace
}  // namespace tolmark::platform

// The change of user as root makes it, in a child process: the ids and the environment; and the
// hand-over of the data directory to the service's user, which must not reach past its own files.

#include "platform/privileges.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

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

TEST(Privileges, HandingOverTheDataDirectoryGivesOnlyItsOwnPlainFiles) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may give files away";
    std::unique_ptr<ProcessIdentity> identity = makeProcessIdentity();
    const std::optional<UserAccount> nobody = identity->findUser("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody";
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / ("handover-" + std::to_string(::getpid()));
    const fs::path data = base / "data";
    fs::create_directories(data / "boot");
    const auto file = [](const fs::path& path, fs::perms mode) {
        std::ofstream(path) << "x";
        fs::permissions(path, mode);
    };
    file(data / "ethers", fs::perms(0644));
    file(data / "script", fs::perms(0755));
    file(data / "boot" / "pxelinux.0", fs::perms(0644));
    file(base / "outside", fs::perms(0644));
    fs::create_symlink(base / "outside", data / "link");
    // A second name for a file outside: giving it away would give the outside file away.
    fs::create_hard_link(base / "outside", data / "second-name");
    ASSERT_TRUE(handOverDirectory(data.string(), *nobody));
    struct Row {
        fs::path path;
        bool given;
        unsigned mode;
    } rows[] = {
        {data, true, 0750},
        {data / "ethers", true, 0640},
        {data / "script", false, 0755},
        {data / "boot" / "pxelinux.0", false, 0644},
        {base / "outside", false, 0644},
    };
    for (const Row& row : rows) {
        struct stat st {};
        ASSERT_EQ(::lstat(row.path.c_str(), &st), 0) << row.path;
        EXPECT_EQ(st.st_uid == nobody->uid, row.given) << row.path;
        EXPECT_EQ(st.st_mode & 07777, row.mode) << row.path;
    }
    fs::remove_all(base);
}

}  // namespace
}  // namespace tolmark::platform

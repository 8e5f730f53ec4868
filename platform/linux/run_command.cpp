#include "platform/linux/run_command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/file_descriptor.h"

namespace tolmark::platform {

int runCommand(const std::vector<std::string>& args, std::string* output) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    FileDescriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    // The argument vector is built before the fork: the child only calls what is safe there.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::dup2(writeEnd.get(), STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();
    char buffer[512];
    ssize_t n;
    while ((n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0 && output != nullptr) output->append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (!WIFEXITED(status)) {
        errno = EINTR;
        return -1;
    }
    if (WEXITSTATUS(status) == 127) {
        errno = ENOENT;
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace tolmark::platform

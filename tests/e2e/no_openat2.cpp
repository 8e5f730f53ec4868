// Runs a command on which openat2 reports ENOSYS, as kernels before 5.6 and container seccomp
// profiles that do not know the call do: the scenarios run the server this way to show that what
// it serves over TFTP stays below its root without openat2. Prints "openat2: ENOSYS" once the
// filter is in force.
//
//     no_openat2 COMMAND [ARGUMENT...]

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "no seccomp architecture for this machine"
#endif

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: no_openat2 COMMAND [ARGUMENT...]\n");
        return 2;
    }
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::fprintf(stderr, "no_openat2: seccomp filter refused: %s\n", std::strerror(errno));
        return 1;
    }
    open_how how{};
    how.flags = O_RDONLY;
    if (::syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how) >= 0 || errno != ENOSYS) {
        std::fprintf(stderr, "no_openat2: openat2 still works\n");
        return 1;
    }
    std::fprintf(stderr, "openat2: ENOSYS\n");
    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "no_openat2: %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}

// run(): newuidmap or newgidmap, run for the caller, its stderr kept for
// the error. A child that borrows the caller's memory until its exec
// (CLONE_VM | CLONE_VFORK, on a stack of its own, as posix_spawn starts
// one: nothing is copied, whatever the caller's size), with a pidfd and no
// exit signal, so that nothing else in the process reaps it (waitpid(-1)
// without __WALL, or SIGCHLD set to SIG_IGN).

#include "userns.h"

#include <algorithm>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace userns {

namespace {
// What the child takes, and gives back: the exec's errno.
struct Spawn {
    const char *path;
    char *const *argv;
    int err; // the pipe's write end, for stderr
    int exec_errno;
};
} // namespace

// The size of the child's stack: a few calls of the C library, then exec.
const size_t HELPER_STACK = 65536;

// The child, in the caller's memory while the caller waits for its exec:
// stderr to the pipe, no other fd of the caller's, every signal at its
// default but those ignored (SIGPIPE and SIGXFSZ, which Python ignores,
// at theirs too), none blocked; then the program. Handlers go first:
// one run here would run in the caller's memory.
// cppcheck-suppress constParameterCallback ; clone() takes int (*)(void *)
static int helper_main(void *arg)
{
    auto *spawn = static_cast<Spawn *>(arg);
    if (spawn->err == STDERR_FILENO) // stderr was closed, and the pipe took its number
        syscall(SYS_fcntl, spawn->err, F_SETFD, 0);
    else
        syscall(SYS_dup3, spawn->err, STDERR_FILENO, 0);
    syscall(SYS_close_range, 3U, ~0U, 0U); // the child's own table (before 5.9: all close-on-exec)
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction was = {};
        if (sigaction(sig, nullptr, &was) != 0 || was.sa_handler == SIG_DFL)
            continue;
        if (was.sa_handler == SIG_IGN && sig != SIGPIPE && sig != SIGXFSZ)
            continue;
        struct sigaction plain = {};
        plain.sa_handler = SIG_DFL;
        sigaction(sig, &plain, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    syscall(SYS_execve, spawn->path, spawn->argv, environ);
    spawn->exec_errno = errno;
    return 127;
}

// Reads fd to its end into out (at most size - 1 bytes kept, the rest
// read and dropped); the count kept.
static size_t drain(int fd, char *out, size_t size)
{
    size_t kept = 0;
    for (;;) {
        char chunk[512];
        long got = syscall(SYS_read, fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return kept;
        size_t take = std::min(static_cast<size_t>(got), size - 1 - kept);
        vk::copy_bytes(out + kept, chunk, take);
        kept += take;
    }
}

// Waits for the child and reaps it: its wait status.
static int reap(long pid, int pidfd)
{
    if (pidfd >= 0) {
        siginfo_t info = {};
        long ret;
        while ((ret = syscall(SYS_waitid, P_PIDFD_ID, pidfd, &info, WEXITED | __WALL, 0L)) < 0 &&
               errno == EINTR) {
        }
        if (ret == 0)
            return info.si_code == CLD_EXITED ? (info.si_status & 0xff) << 8
                                              : info.si_status & 0x7f;
    }
    int status = 0;
    while (syscall(SYS_wait4, pid, &status, __WALL, 0L) < 0 && errno == EINTR) {
    }
    return status;
}

int run_helper(const char *path, char *const *argv, Outcome *out)
{
    int err[2];
    if (syscall(SYS_pipe2, err, O_CLOEXEC) != 0)
        return -1;
    char *stack = static_cast<char *>(PyMem_RawMalloc(HELPER_STACK));
    if (stack == nullptr) {
        syscall(SYS_close, err[0]);
        syscall(SYS_close, err[1]);
        errno = ENOMEM;
        return -1;
    }
    Spawn spawn = {path, argv, err[1], 0};
    // Every signal held across the clone: none may run a handler of the
    // caller's in the child before it has set them to their defaults.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    int pidfd = -1;
    // Back once the child has exec'd or ended; no exit signal.
    long pid = clone(helper_main, stack + HELPER_STACK, CLONE_VM | CLONE_VFORK | CLONE_PIDFD,
                     &spawn, &pidfd);
    int clone_errno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    free_child_stack(stack, HELPER_STACK);
    syscall(SYS_close, err[1]);
    if (pid < 0) {
        syscall(SYS_close, err[0]);
        errno = clone_errno;
        return -1;
    }
    out->exec_errno = spawn.exec_errno;
    out->said = drain(err[0], out->text, sizeof out->text);
    syscall(SYS_close, err[0]);
    out->status = reap(pid, pidfd);
    if (pidfd >= 0)
        syscall(SYS_close, pidfd);
    return 0;
}

} // namespace userns

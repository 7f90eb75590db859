// run(): newuidmap or newgidmap, run for the caller, its stderr kept for
// the error. A child cloned with a pidfd and no exit signal, so that
// nothing else in the process reaps it (waitpid(-1) without __WALL, or
// SIGCHLD set to SIG_IGN), and no signal of the caller's handlers runs in
// it before its exec.

#include "userns.h"

#include <algorithm>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace userns {

// The child, in a copy of the caller's memory: stderr to the pipe, signals
// as a new program finds them, the program; its exec's errno to report
// where the exec fails.
[[noreturn]] static void helper_main(const char *path, char *const *argv, int err, int report)
{
    if (err == STDERR_FILENO) // stderr was closed, and the pipe took its number
        syscall(SYS_fcntl, err, F_SETFD, 0);
    else
        syscall(SYS_dup3, err, STDERR_FILENO, 0);
    // Nothing of the caller's but stdin and stdout: every other fd closed at
    // the exec (CLOSE_RANGE_CLOEXEC, 5.11), else now (5.9), but the report's.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0 && report >= 3) {
        syscall(SYS_close_range, 3U, static_cast<unsigned>(report - 1), 0U);
        syscall(SYS_close_range, static_cast<unsigned>(report + 1), ~0U, 0U);
    }
    // What Python ignores (SIGPIPE, SIGXFSZ) is no program's business, and
    // an ignored signal stays ignored through exec.
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &plain, nullptr);
    sigaction(SIGXFSZ, &plain, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    syscall(SYS_execve, path, argv, environ);
    int exec_errno = errno;
    syscall(SYS_write, report, &exec_errno, sizeof exec_errno);
    syscall(SYS_exit_group, 127);
    __builtin_unreachable();
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
    int report[2];
    if (syscall(SYS_pipe2, err, O_CLOEXEC) != 0)
        return -1;
    if (syscall(SYS_pipe2, report, O_CLOEXEC) != 0) {
        int pipe_errno = errno;
        syscall(SYS_close, err[0]);
        syscall(SYS_close, err[1]);
        errno = pipe_errno;
        return -1;
    }
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    int pidfd = -1;
    long pid = syscall(SYS_clone, CLONE_PIDFD, 0L, &pidfd, 0L, 0L);
    if (pid < 0 && errno == EINVAL) { // before 5.2
        pidfd = -1;
        pid = syscall(SYS_clone, 0L, 0L, 0L, 0L, 0L);
    }
    if (pid == 0)
        helper_main(path, argv, err[1], report[1]);
    int clone_errno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    syscall(SYS_close, err[1]);
    syscall(SYS_close, report[1]);
    if (pid < 0) {
        syscall(SYS_close, err[0]);
        syscall(SYS_close, report[0]);
        errno = clone_errno;
        return -1;
    }
    // The exec's errno, or nothing once the exec closed the pipe.
    int exec_errno = 0;
    long got;
    while ((got = syscall(SYS_read, report[0], &exec_errno, sizeof exec_errno)) < 0 &&
           errno == EINTR) {
    }
    out->exec_errno = got == static_cast<long>(sizeof exec_errno) ? exec_errno : 0;
    out->said = drain(err[0], out->text, sizeof out->text);
    syscall(SYS_close, err[0]);
    syscall(SYS_close, report[0]);
    out->status = reap(pid, pidfd);
    if (pidfd >= 0)
        syscall(SYS_close, pidfd);
    return 0;
}

} // namespace userns

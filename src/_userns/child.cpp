// The child that holds a new user namespace: cloned into it, it waits on a
// pipe until the caller has written its maps and opened it, and ends when
// the pipe closes (or with the caller, whose death kills it).

#include "userns.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

// clone(2)'s pidfd of the child, in <sched.h> from glibc 2.31.
#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif
#ifndef __WALL
#define __WALL 0x40000000
#endif
// waitid's P_PIDFD (Linux 5.4), which glibc headers before 2.36 lack.
static const int P_PIDFD_ID = 3;

namespace userns {

// The child's whole life, in its copy of the caller's memory and with every
// signal held: only system calls, by number (the C library's state may be
// one another thread of the caller left half-changed).
[[noreturn]] static void hold(int wait_end, int release, long parent)
{
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    // The caller died before PR_SET_PDEATHSIG took hold: nobody will let
    // this child go.
    if (syscall(SYS_getppid) != parent)
        syscall(SYS_exit_group, 1);
    // Nothing of the caller's kept open, but the end it waits on (no
    // close_range before 5.9: the copies go when the child does).
    syscall(SYS_close, release);
    if (wait_end > 0)
        syscall(SYS_close_range, 0U, static_cast<unsigned>(wait_end - 1), 0U);
    syscall(SYS_close_range, static_cast<unsigned>(wait_end + 1), ~0U, 0U);
    char byte;
    while (syscall(SYS_read, wait_end, &byte, 1) < 0 && errno == EINTR) {
    }
    syscall(SYS_exit_group, 0);
    __builtin_unreachable();
}

int start(Holder *h)
{
    int ends[2];
    if (syscall(SYS_pipe2, ends, O_CLOEXEC) != 0)
        return -1;
    long parent = syscall(SYS_getpid);
    // Every signal held across the clone: no handler of the caller's may run
    // in the child.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    // No exit signal: the caller's SIGCHLD handler hears nothing, a SIGCHLD
    // set to SIG_IGN does not reap it, and no waitpid(-1) elsewhere in the
    // process takes it (only __WALL waits for such a child). The pidfd comes
    // with the clone, before anything could reap the child.
    int pidfd = -1;
    long pid = syscall(SYS_clone, CLONE_NEWUSER | CLONE_PIDFD, 0L, &pidfd, 0L, 0L);
    if (pid < 0 && errno == EINVAL) { // before 5.2
        pidfd = -1;
        pid = syscall(SYS_clone, CLONE_NEWUSER, 0L, 0L, 0L, 0L);
    }
    if (pid == 0)
        hold(ends[0], ends[1], parent);
    int clone_errno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    syscall(SYS_close, ends[0]);
    if (pid < 0) {
        syscall(SYS_close, ends[1]);
        errno = clone_errno;
        return -1;
    }
    if (pidfd < 0) // unreaped, so the pid is still the child's
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
    h->pid = pid;
    h->pidfd = pidfd;
    h->release = ends[1];
    return 0;
}

void finish(Holder *h)
{
    syscall(SYS_close, h->release);
    h->release = -1;
    bool reaped = false;
    if (h->pidfd >= 0) {
        siginfo_t info;
        long ret;
        while ((ret = syscall(SYS_waitid, P_PIDFD_ID, h->pidfd, &info, WEXITED | __WALL, 0L)) < 0 &&
               errno == EINTR) {
        }
        reaped = ret == 0 || errno == ECHILD;
        syscall(SYS_close, h->pidfd);
        h->pidfd = -1;
    }
    if (!reaped) { // no P_PIDFD (before 5.4): the pid, which nothing else reaps
        int status;
        while (syscall(SYS_wait4, h->pid, &status, __WALL, 0L) < 0 && errno == EINTR) {
        }
    }
    h->pid = -1;
}

} // namespace userns

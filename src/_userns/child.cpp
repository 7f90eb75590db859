// The child that holds a new user namespace: cloned into it, it waits on a
// pipe until the caller has written its maps and opened it, and ends when
// the caller's byte comes (or with the caller, whose death kills it).

#include "userns.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

// clone(2)'s pidfd of the child, in <sched.h> from glibc 2.31.
#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace userns {

namespace {
// What the child reads: kept beside its stack, which outlives it.
struct Shared {
    int wait_end;
    long parent;
};
} // namespace

// The size of the child's stack: it makes three system calls.
const size_t STACK_SIZE = 16384;

// The child, sharing the caller's memory and fd table (CLONE_VM,
// CLONE_FILES): it copies nothing (a copy of the caller's page tables
// costs about a millisecond per 25 MiB it has), and holds no fd of its
// own, so nothing of the caller's stays open elsewhere. valgrind, which
// takes CLONE_VM only for threads, stops a program that makes one. The
// child runs beside the caller's thread with that thread's TLS, so it must
// not write errno: none of its calls can fail (a read of a pipe with every
// signal held ends with the caller's byte, or with SIGKILL).
// cppcheck-suppress constParameterCallback ; clone() takes int (*)(void *)
static int hold_shared(void *arg)
{
    const auto *shared = static_cast<const Shared *>(arg);
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    if (syscall(SYS_getppid) != shared->parent)
        return 1; // the caller died before PR_SET_PDEATHSIG took hold
    char byte;
    syscall(SYS_read, shared->wait_end, &byte, 1);
    return 0;
}

// Clones the child: its pid, or -1 with errno. The C library's clone()
// switches to the new stack and calls the function, whose return value is
// the child's exit status.
static long clone_shared(Holder *h, int wait_end, long parent, int *pidfd)
{
    h->stack = static_cast<char *>(PyMem_RawMalloc(STACK_SIZE + sizeof(Shared)));
    if (h->stack == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    auto *shared = reinterpret_cast<Shared *>(h->stack + STACK_SIZE);
    shared->wait_end = wait_end;
    shared->parent = parent;
    // No exit signal (the low byte of the flags 0).
    long pid = clone(hold_shared, h->stack + STACK_SIZE,
                     CLONE_VM | CLONE_FILES | CLONE_NEWUSER | CLONE_PIDFD, shared, pidfd);
    if (pid < 0) {
        int clone_errno = errno;
        PyMem_RawFree(h->stack);
        h->stack = nullptr;
        errno = clone_errno;
    }
    return pid;
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
    long pid = clone_shared(h, ends[0], parent, &pidfd);
    int clone_errno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        syscall(SYS_close, ends[0]);
        syscall(SYS_close, ends[1]);
        errno = clone_errno;
        return -1;
    }
    h->wait_end = ends[0]; // the child's too: closed once it is reaped
    if (pidfd < 0)         // unreaped, so the pid is still the child's
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
    h->pid = pid;
    h->pidfd = pidfd;
    h->release = ends[1];
    return 0;
}

void finish(Holder *h)
{
    // A byte, not only the pipe's end: a process forked meanwhile by another
    // thread has a copy of the write end until its exec or exit, and would
    // keep the holder (and the caller, waiting for it) until then. Into an
    // empty pipe with the child's end still open, it cannot fail or block.
    const char go = 0;
    while (syscall(SYS_write, h->release, &go, 1) < 0 && errno == EINTR) {
    }
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
    // Gone: its stack and its end of the pipe are free.
    if (h->wait_end >= 0)
        syscall(SYS_close, h->wait_end);
    h->wait_end = -1;
    free_child_stack(h->stack, STACK_SIZE + sizeof(Shared));
    h->stack = nullptr;
}

} // namespace userns

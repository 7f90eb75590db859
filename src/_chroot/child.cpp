// velkora._chroot: the children spawn() makes, between the clone and the
// exec, system calls only. The init, pid 1 of the command's PID namespace,
// makes the places the plan needs in the root's tree, starts the command,
// passes the signals processes send it on, reaps orphans, and when the
// command ends or the caller dies kills what is left, reaps it, removes
// the places and hands the command's status on. The command carries out
// the plan in a mount namespace of its own where asked, chroots and execs.

#include "spawn.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace rooted {

static const char DEFAULT_PATH[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

static void report(const Child *c, int stage, int index, int depth = 0, int refusal = 0)
{
    Report r = {stage, index, errno, depth, refusal};
    const char *at = reinterpret_cast<const char *>(&r);
    size_t left = sizeof r;
    while (left > 0) {
        ssize_t n = write(c->report, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += n;
        left -= static_cast<size_t>(n);
    }
}

[[noreturn]] static void fail(const Child *c, int stage, int index)
{
    report(c, stage, index);
    _exit(127);
}

// execve of argv[0], looked up in the PATH of envp (or the usual one) where
// it has no slash, as execvp does; returns with errno on failure.
static void exec_command(const Child *c)
{
    const char *name = c->argv[0];
    if (strchr(name, '/') != nullptr) {
        execve(name, c->argv, c->envp);
        return;
    }
    const char *path = DEFAULT_PATH;
    for (char *const *e = c->envp; *e != nullptr; e++) {
        if (strncmp(*e, "PATH=", 5) == 0)
            path = *e + 5;
    }
    size_t name_length = strlen(name);
    int denied = 0;
    char buffer[PATH_MAX];
    for (const char *dir = path;; dir++) {
        const char *end = strchrnul(dir, ':');
        size_t length = static_cast<size_t>(end - dir);
        if (length + 1 + name_length < sizeof buffer) {
            vk::copy_bytes(buffer, dir, length);
            if (length == 0)
                buffer[length++] = '.'; // an empty entry is the current directory
            buffer[length] = '/';
            vk::copy_bytes(buffer + length + 1, name, name_length + 1);
            execve(buffer, c->argv, c->envp);
            if (errno == EACCES)
                denied = 1;
            else if (errno != ENOENT && errno != ENOTDIR)
                return;
        }
        if (*end == '\0')
            break;
        dir = end;
    }
    errno = denied != 0 ? EACCES : ENOENT;
}

// Every handler this process had is gone with the exec; one that ran before
// it would run the caller's code here. SIGPIPE and SIGXFSZ, which the
// interpreter ignores, are the command's to have, as subprocess does.
static void default_handlers()
{
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction sa;
        if (sigaction(sig, nullptr, &sa) != 0)
            continue;
        bool caught = sa.sa_handler != SIG_IGN && sa.sa_handler != SIG_DFL;
        if (caught || sig == SIGPIPE || sig == SIGXFSZ) {
            struct sigaction dfl = {};
            dfl.sa_handler = SIG_DFL;
            sigaction(sig, &dfl, nullptr);
        }
    }
}

// The device and inode of fd, by statx(2) by number: fstat, fcntl and pipe2
// are newer symbols of the C library than the wheels' baseline, as is
// pthread_sigmask (sigprocmask, the old symbol, does the same for this
// thread).
static int same_file(int fd, struct statx *st)
{
    return static_cast<int>(vk::statx_call(fd, "", AT_EMPTY_PATH, STATX_INO, st));
}

static int fd_control(int fd, int command, long arg)
{
    return static_cast<int>(syscall(SYS_fcntl, fd, command, arg));
}

// The root in the new namespace: every mount made private, then the same
// directory looked up again (the caller's fd is of a mount in the caller's
// namespace, where no mount made here can go).
static int own_root(const Child *c)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail(c, AT_PRIVATE, 0);
    struct statx was = {};
    struct statx now = {};
    int root = open(c->root_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0 || same_file(root, &now) != 0 || same_file(c->root, &was) != 0)
        fail(c, AT_ROOT, 0);
    if (now.stx_dev_major != was.stx_dev_major || now.stx_dev_minor != was.stx_dev_minor ||
        now.stx_ino != was.stx_ino) {
        errno = ESTALE; // moved or replaced since the caller opened it
        fail(c, AT_ROOT, 0);
    }
    return root;
}

// The caller's three fds as 0, 1 and 2 (-1: left as it is).
static void standard_fds(const Child *c)
{
    int fds[3] = {c->fds[0], c->fds[1], c->fds[2]};
    for (int i = 0; i < 3; i++) { // out of the way of the dup2s below
        if (fds[i] >= 0 && fds[i] < 3 && fds[i] != i) {
            fds[i] = fd_control(fds[i], F_DUPFD_CLOEXEC, 3);
            if (fds[i] < 0)
                fail(c, AT_STDIO, i);
        }
    }
    for (int i = 0; i < 3; i++) {
        int ret = 0;
        if (fds[i] == i)
            ret = fd_control(i, F_SETFD, 0);
        else if (fds[i] >= 0)
            ret = dup2(fds[i], i);
        if (ret < 0)
            fail(c, AT_STDIO, i);
    }
}

// The command: in a mount namespace of its own where asked, the plan
// carried out there, then chrooted and exec'd.
[[noreturn]] static void command_main(const Child *c)
{
    int root = c->new_namespace ? own_root(c) : c->root;
    Py_ssize_t failed = 0;
    if (carry_out(root, c->plan, &failed) != 0)
        fail(c, AT_STEP, static_cast<int>(failed));
    for (Py_ssize_t i = 0; i < c->plan->count; i++) {
        if (c->plan->steps[i].warned != 0) {
            errno = c->plan->steps[i].warned;
            report(c, AT_WARN, static_cast<int>(i));
        }
    }
    standard_fds(c);
    // No other fd of the caller's reaches the command (close_fds, as
    // subprocess has it): each closes at the exec, the report pipe's too.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    if (fchdir(root) != 0 || chroot(".") != 0 || chdir("/") != 0)
        fail(c, AT_ROOT, 0);
    if (chdir(c->cwd) != 0)
        fail(c, AT_CWD, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    exec_command(c);
    fail(c, AT_EXEC, 0);
}

static int command_entry(void *c)
{
    command_main(static_cast<const Child *>(c));
}

// Closes every fd but keep (sorted, distinct): close_range(2) over the gaps.
static void close_all_but(const int *keep, int n)
{
    unsigned int from = 0;
    for (int i = 0; i < n; i++) {
        auto fd = static_cast<unsigned int>(keep[i]);
        if (fd > from)
            syscall(SYS_close_range, from, fd - 1, 0U);
        from = fd + 1;
    }
    syscall(SYS_close_range, from, ~0U, 0U);
}

// Reaps every child there is (the namespace's orphans included) until none
// is left; the command's status in *status where it is among them.
static void reap_all(pid_t command, int *status, bool *reaped, bool wait)
{
    for (;;) {
        int st = 0;
        pid_t pid = waitpid(-1, &st, wait ? 0 : WNOHANG);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid <= 0)
            return;
        if (pid == command && !*reaped) {
            *status = st;
            *reaped = true;
        }
    }
}

// The root's directory, locked shared (flock) for as long as this command
// may use places in its tree, made here or by another command or Root of
// velkora's; -1 where it cannot be opened or locked (no locks there).
static int share_root(const Child *c)
{
    int lock = openat(c->root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int ret = 0;
    while (lock >= 0 && (ret = flock(lock, LOCK_SH)) != 0 && errno == EINTR) {
    }
    return ret == 0 ? lock : closing(lock, -1);
}

// Removes the places made, unless another command or Root holds the root
// (the lock cannot be had exclusive): removing a directory another
// namespace has a mount on takes that mount away, under its command.
static void remove_unshared(const Child *c, int lock)
{
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) == 0)
        remove_places(c->root, c->places);
}

// In a user namespace of its own, the init has no ids there (nothing it
// made would have an owner) until the caller has written its maps: it
// waits for the caller's byte, and ends where the caller gives up (the
// pipe's end, or the caller's).
static void await_maps(Child *c)
{
    close(c->maps[1]);
    struct pollfd ready[2] = {{c->maps[0], POLLIN, 0}, {c->caller, POLLIN, 0}};
    char go = 0;
    while (poll(ready, c->caller >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
    }
    if ((ready[0].revents & POLLIN) == 0 || read(c->maps[0], &go, 1) != 1)
        _exit(127);
    close(c->maps[0]);
}

// The init, pid 1 of the new PID namespace, in the caller's mount
// namespace. Every signal stays held here and is taken by sigtimedwait:
// none has a handler, so none can run the caller's code, and a held
// signal reaches a namespace's init from outside it (one with its default
// action would not).
[[noreturn]] void init_main(Child *c)
{
    default_handlers();
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL; // children reaped here, never by the kernel
    sigaction(SIGCHLD, &dfl, nullptr);
    if (prctl(PR_SET_PDEATHSIG, END_SIGNAL) != 0)
        _exit(127);
    struct pollfd gone = {c->caller, POLLIN, 0};
    if (c->caller >= 0 && poll(&gone, 1, 0) != 0) // the caller died before the prctl
        _exit(127);
    if (c->maps[0] >= 0)
        await_maps(c);
    Py_ssize_t place = 0;
    int depth = 0;
    int refusal = NO_REFUSAL;
    int lock = share_root(c);
    if (make_places(c->root, c->places, &place, &depth, &refusal) != 0) {
        report(c, AT_PLACE, static_cast<int>(place), depth, refusal);
        remove_unshared(c, lock);
        _exit(127);
    }
    // The command shares the init's memory until its exec, as
    // posix_spawn's child does, the init held meanwhile (CLONE_VFORK): no
    // copy of the caller's page tables a second time.
    int flags = CLONE_VM | CLONE_VFORK | SIGCHLD | (c->new_namespace ? CLONE_NEWNS : 0);
    long forked = clone(command_entry, c->stack, flags, c);
    auto command = static_cast<pid_t>(forked);
    int status = 0;
    bool reaped = false;
    if (forked < 0) {
        report(c, AT_INIT, 0);
        status = 127 << 8;
        reaped = true;
    }
    // Only the root (for the places), its lock and the status pipe are the
    // init's to keep: the caller's pipes end when the command's processes do.
    int keep[3] = {c->root, c->status, lock};
    for (int i = 1; i < 3; i++) { // sorted, as close_all_but takes them
        for (int j = i; j > 0 && keep[j] < keep[j - 1]; j--) {
            int t = keep[j];
            keep[j] = keep[j - 1];
            keep[j - 1] = t;
        }
    }
    close_all_but(keep[0] < 0 ? keep + 1 : keep, keep[0] < 0 ? 2 : 3);
    sigset_t waited;
    sigemptyset(&waited);
    static const int taken[] = {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT, END_SIGNAL};
    for (int sig : taken)
        sigaddset(&waited, sig);
    while (!reaped) {
        siginfo_t info = {};
        long sig = syscall(SYS_rt_sigtimedwait, &waited, &info, nullptr, _NSIG / 8);
        if (sig == SIGCHLD) {
            reap_all(command, &status, &reaped, false);
        } else if (sig == END_SIGNAL) {
            status = SIGKILL; // as the command ends: killed
            break;
        } else if (sig > 0 && info.si_code != SI_KERNEL) {
            // Sent to the init by a process: the command's. One the terminal
            // sent its process group reached the command already.
            kill(command, static_cast<int>(sig));
        }
    }
    kill(-1, SIGKILL); // everything left in the namespace
    reap_all(command, &status, &reaped, true);
    remove_unshared(c, lock);
    const char *at = reinterpret_cast<const char *>(&status);
    while (write(c->status, at, sizeof status) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

} // namespace rooted

// velkora._chroot: spawn(), a command started with a root as its "/", in a
// PID namespace of its own. The child clone(2) makes is that namespace's
// init: it makes the places the plan needs in the root's tree, starts the
// command (in a mount namespace of its own where asked, where it carries
// out the plan, chroots and execs), passes signals sent to it on, reaps
// orphans, and when the command ends or the caller dies (PR_SET_PDEATHSIG)
// kills everything left in the namespace, reaps it, removes the places and
// hands the command's status on. All of it is system calls in this C code
// between the clone and the exec, with no Python in either child.

#include "chroot.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef CLONE_NEWPID
#define CLONE_NEWPID 0x20000000
#endif
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace rooted {

namespace {

// Where the child failed, told to the parent through the report pipe.
// AT_WARN is no failure: a step passed over, the command started all the
// same.
enum Stage : unsigned char {
    AT_STEP,
    AT_PRIVATE,
    AT_STDIO,
    AT_ROOT,
    AT_CWD,
    AT_EXEC,
    AT_PLACE,
    AT_INIT,
    AT_WARN,
};

struct Report {
    int stage;
    int index;
    int error;
    int depth;   // AT_PLACE: the names of the place looked at
    int refusal; // AT_PLACE: why, where no call failed
};

// What the init takes for "the caller is gone, end everything": the
// signal PR_SET_PDEATHSIG sends, and the caller's own on an interrupt or
// a timeout.
const int END_SIGNAL = SIGUSR1;

// What the child needs, all made before the clone.
struct Child {
    int root = -1;
    const char *root_path = nullptr; // where new_namespace, the root looked up again in it
    Plan *plan = nullptr;
    Places *places = nullptr;
    char *const *argv = nullptr;
    char *const *envp = nullptr;
    const char *cwd = nullptr;
    int fds[3] = {-1, -1, -1};
    int caller = -1; // a pidfd of the caller, -1 where the kernel has none
    bool new_namespace = false;
    int report = -1; // write ends: failures and warnings, closed at the exec
    int status = -1; // the command's wait status, written by the init at its end
};

} // namespace

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
    return static_cast<int>(syscall(__NR_statx, fd, "", AT_EMPTY_PATH, STATX_INO, st));
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

// The init, pid 1 of the new PID namespace, in the caller's mount
// namespace. Every signal stays held here and is taken by sigtimedwait:
// none has a handler, so none can run the caller's code, and a held
// signal reaches a namespace's init from outside it (one with its default
// action would not).
[[noreturn]] static void init_main(Child *c)
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
    Py_ssize_t place = 0;
    int depth = 0;
    int refusal = NO_REFUSAL;
    if (make_places(c->root, c->places, &place, &depth, &refusal) != 0) {
        report(c, AT_PLACE, static_cast<int>(place), depth, refusal);
        remove_places(c->root, c->places);
        _exit(127);
    }
    long forked = syscall(SYS_clone, SIGCHLD | (c->new_namespace ? CLONE_NEWNS : 0), 0, 0, 0, 0);
    if (forked == 0)
        command_main(c);
    auto command = static_cast<pid_t>(forked);
    int status = 0;
    bool reaped = false;
    if (forked < 0) {
        report(c, AT_INIT, 0);
        status = 127 << 8;
        reaped = true;
    }
    // Only the root (for the places) and the status pipe are the init's to
    // keep: the caller's pipes end when the command's processes do.
    int keep[2] = {c->root < c->status ? c->root : c->status,
                   c->root < c->status ? c->status : c->root};
    close_all_but(keep, 2);
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
    remove_places(c->root, c->places);
    const char *at = reinterpret_cast<const char *>(&status);
    while (write(c->status, at, sizeof status) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// A null-terminated array of the bytes in a list; null with an exception.
static char **strings_of(PyObject *list, const char *what)
{
    if (!PyList_Check(list) && !PyTuple_Check(list)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list of bytes", what);
        return nullptr;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
    auto **out = static_cast<char **>(PyMem_Malloc(sizeof(char *) * static_cast<size_t>(n + 1)));
    if (out == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PySequence_Fast_GET_ITEM(list, i);
        if (!PyBytes_Check(item) ||
            strlen(PyBytes_AS_STRING(item)) != static_cast<size_t>(PyBytes_GET_SIZE(item))) {
            PyErr_Format(PyExc_ValueError, "%s must be bytes without NUL", what);
            PyMem_Free(static_cast<void *>(out));
            return nullptr;
        }
        out[i] = PyBytes_AS_STRING(item);
    }
    out[n] = nullptr;
    return out;
}

// OSError with errno, naming the path in bytes (decoded as os.fsdecode does).
static PyObject *named_error(int saved_errno, PyObject *bytes)
{
    PyObject *name =
        PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes));
    if (name == nullptr)
        return nullptr;
    vk::os_error(saved_errno, name);
    Py_DECREF(name);
    return nullptr;
}

// The OSError of what the child reported.
static PyObject *child_error(const Report &r, const Plan *plan, const Places *places,
                             PyObject *argv, PyObject *cwd)
{
    if (r.stage == AT_STEP && r.index >= 0 && r.index < plan->count)
        return step_error(plan, r.index, r.error);
    if (r.stage == AT_PLACE)
        return place_error(places, r.index, r.depth, r.refusal, r.error);
    if (r.stage == AT_EXEC)
        return named_error(r.error, PySequence_Fast_GET_ITEM(argv, 0));
    if (r.stage == AT_CWD)
        return named_error(r.error, cwd);
    return vk::os_error(r.error);
}

// Ends the init (it kills what is left in its namespace, and removes the
// places) and reaps it, whatever signal comes meanwhile.
static void end_init(pid_t pid, bool ended)
{
    if (!ended)
        kill(pid, END_SIGNAL);
    int status;
    Py_BEGIN_ALLOW_THREADS
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    Py_END_ALLOW_THREADS
}

// Reads the init's reports until the exec closes the pipe: 0, with each
// warning appended to warnings; -1 with an exception, the init reaped.
static int await_start(pid_t pid, int fd, const Child &c, PyObject *warnings, PyObject *argv,
                       PyObject *cwd)
{
    for (;;) {
        Report r = {};
        long got = vk::retrying([&] { return static_cast<long>(read(fd, &r, sizeof r)); });
        if (got == 0)
            return 0;
        int read_errno = errno;
        if (got == static_cast<long>(sizeof r) && r.stage == AT_WARN) {
            PyObject *item = Py_BuildValue("(ii)", r.index, r.error);
            if (item != nullptr && PyList_Append(warnings, item) == 0) {
                Py_DECREF(item);
                continue;
            }
            Py_XDECREF(item);
            got = vk::RAISED;
        }
        // Interrupted (or out of memory): everything goes, and the exception
        // is raised. A failure: the init ends by itself once the command has.
        end_init(pid, got == static_cast<long>(sizeof r));
        if (got == vk::RAISED)
            return -1;
        if (got != static_cast<long>(sizeof r))
            vk::os_error(got < 0 ? read_errno : EIO);
        else
            child_error(r, c.plan, c.places, argv, cwd);
        return -1;
    }
}

PyDoc_STRVAR(
    chroot_spawn_doc,
    "spawn($module, /, root, root_path, plan, argv, env, cwd, fds, new_namespace, places=())\n"
    "--\n\n"
    "Starts argv (a list of bytes) with root, an fd of the directory at\n"
    "root_path, as its \"/\" and cwd its working directory, env (a list of\n"
    "b\"KEY=VALUE\") its environment and fds (three fds, -1 for the caller's\n"
    "own) its standard input, output and error, in a PID namespace of its own.\n"
    "Returns (pid, pidfd, status, warnings): the pid of that namespace's init,\n"
    "a pidfd of it (-1 where the kernel has none), the read end of a pipe the\n"
    "init writes the command's wait status to as it ends, and the plan's steps\n"
    "passed over, as (index, errno). The init makes the places missing in the\n"
    "root's tree, starts the command (in a mount namespace of its own where\n"
    "new_namespace, its mounts private, plan carried out there), passes on the\n"
    "signals processes send it, and when the command ends, when it is sent\n"
    "SIGUSR1 or when the calling thread ends (PR_SET_PDEATHSIG) kills what is\n"
    "left in the namespace, reaps it and removes the places. Raises OSError for\n"
    "what failed before the exec, the init then reaped.");

static PyObject *chroot_spawn(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root", "root_path",     "plan",   "argv", "env", "cwd",
                                         "fds",  "new_namespace", "places", nullptr};
    Child c = {};
    PyObject *root_path;
    PyObject *steps;
    PyObject *argv_obj;
    PyObject *env_obj;
    PyObject *cwd;
    PyObject *place_items = nullptr;
    int new_namespace;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O!OOOO!(iii)p|O!:spawn",
                                     const_cast<char **>(kwlist), vk::to_fd, &c.root, &PyBytes_Type,
                                     &root_path, &steps, &argv_obj, &env_obj, &PyBytes_Type, &cwd,
                                     &c.fds[0], &c.fds[1], &c.fds[2], &new_namespace,
                                     &PyTuple_Type, &place_items))
        return nullptr;
    Plan plan;
    if (plan_from(steps, &plan) < 0)
        return nullptr;
    Places places = {};
    PyObject *empty = place_items == nullptr ? PyTuple_New(0) : nullptr;
    if (places_from(place_items != nullptr ? place_items : empty, &places) < 0) {
        Py_XDECREF(empty);
        plan_free(&plan);
        return nullptr;
    }
    Py_XDECREF(empty);
    char **argv = strings_of(argv_obj, "argv");
    char **envp = argv == nullptr ? nullptr : strings_of(env_obj, "env");
    PyObject *result = nullptr;
    PyObject *warnings = nullptr;
    int reports[2] = {-1, -1};
    int statuses[2] = {-1, -1};
    if (envp == nullptr)
        goto done;
    if (argv[0] == nullptr) {
        PyErr_SetString(PyExc_ValueError, "argv must not be empty");
        goto done;
    }
    warnings = PyList_New(0);
    if (warnings == nullptr)
        goto done;
    if (syscall(SYS_pipe2, reports, O_CLOEXEC) != 0 ||
        syscall(SYS_pipe2, statuses, O_CLOEXEC) != 0) {
        vk::os_error(errno);
        goto done;
    }
    c.plan = &plan;
    c.places = &places;
    c.argv = argv;
    c.envp = envp;
    c.cwd = PyBytes_AS_STRING(cwd);
    c.root_path = PyBytes_AS_STRING(root_path);
    c.new_namespace = new_namespace != 0;
    c.report = reports[1];
    c.status = statuses[1];
    {
        // The caller, for the init to see whether it died before its
        // PR_SET_PDEATHSIG took hold (getppid() tells nothing in a new PID
        // namespace).
        c.caller = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0U));
        // Every signal held across the clone: none may run a handler of the
        // caller's in the child before it has reset them.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, &old);
        long pid = syscall(SYS_clone, SIGCHLD | CLONE_NEWPID, 0, 0, 0, 0);
        if (pid == 0)
            init_main(&c);
        int clone_errno = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        int *ours[] = {&reports[1], &statuses[1], &c.caller};
        for (int *fd : ours) {
            if (*fd >= 0)
                vk::close_quietly(*fd);
            *fd = -1;
        }
        if (pid < 0) {
            vk::os_error(clone_errno);
            goto done;
        }
        if (await_start(static_cast<pid_t>(pid), reports[0], c, warnings, argv_obj, cwd) < 0)
            goto done;
        // A pidfd of the init, unreaped: the pid is still its.
        long pidfd = syscall(SYS_pidfd_open, pid, 0U);
        result = Py_BuildValue("(liiO)", pid, static_cast<int>(pidfd), statuses[0], warnings);
        if (result == nullptr) {
            if (pidfd >= 0)
                vk::close_quietly(static_cast<int>(pidfd));
            end_init(static_cast<pid_t>(pid), false);
        } else {
            statuses[0] = -1; // the caller's now
        }
    }
done:
    int left[] = {reports[0], reports[1], statuses[0], statuses[1]};
    for (int fd : left) {
        if (fd >= 0)
            vk::close_quietly(fd);
    }
    Py_XDECREF(warnings);
    PyMem_Free(static_cast<void *>(argv));
    PyMem_Free(static_cast<void *>(envp));
    places_free(&places);
    plan_free(&plan);
    return result;
}

PyMethodDef spawn_methods[] = {
    VK_METHOD(chroot, spawn),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace rooted

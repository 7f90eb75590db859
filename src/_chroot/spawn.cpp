// velkora._chroot: spawn(), a command started with a root as its "/", in a
// PID namespace of its own under an init of velkora's (child.cpp), and
// what the caller hears of it: failures before the exec, warnings, and at
// the end the command's status.

#include "spawn.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// waitid's P_PIDFD (Linux 5.4), which glibc headers before 2.36 lack.
static const int P_PIDFD_ID = 3;
#ifndef CLONE_NEWPID
#define CLONE_NEWPID 0x20000000
#endif
#ifndef CLONE_NEWUSER
#define CLONE_NEWUSER 0x10000000
#endif

namespace rooted {

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

namespace {

// What spawn() holds until it returns.
struct Held {
    char **argv = nullptr;
    char **envp = nullptr;
    PyObject *warnings = nullptr;
    char *stack = nullptr;      // the command's until its exec (COMMAND_STACK)
    int reports[2] = {-1, -1};  // the init's failures and warnings
    int statuses[2] = {-1, -1}; // the command's wait status
    int maps[2] = {-1, -1};     // with a user namespace: the init's go, once mapped
};

} // namespace

// Takes what the init needs besides the plan and the places: argv, env, a
// list for the warnings, the command's stack and the pipes (the maps pipe
// too where userns). 0, or -1 with an exception (what was taken is for
// release()).
static int hold(Held *h, PyObject *argv_obj, PyObject *env_obj, bool userns)
{
    h->argv = strings_of(argv_obj, "argv");
    h->envp = h->argv == nullptr ? nullptr : strings_of(env_obj, "env");
    if (h->envp == nullptr)
        return -1;
    if (h->argv[0] == nullptr) {
        PyErr_SetString(PyExc_ValueError, "argv must not be empty");
        return -1;
    }
    h->warnings = PyList_New(0);
    h->stack = static_cast<char *>(PyMem_RawMalloc(COMMAND_STACK));
    if (h->warnings == nullptr || h->stack == nullptr) {
        if (h->stack == nullptr)
            PyErr_NoMemory();
        return -1;
    }
    if (syscall(SYS_pipe2, h->reports, O_CLOEXEC) != 0 ||
        syscall(SYS_pipe2, h->statuses, O_CLOEXEC) != 0 ||
        (userns && syscall(SYS_pipe2, h->maps, O_CLOEXEC) != 0)) {
        vk::os_error(errno);
        return -1;
    }
    return 0;
}

// Releases what hold() took, and closes whichever pipe ends are still
// open.
static void release(Held *h)
{
    const int left[] = {h->reports[0],  h->reports[1], h->statuses[0],
                        h->statuses[1], h->maps[0],    h->maps[1]};
    for (int fd : left) {
        if (fd >= 0)
            vk::close_quietly(fd);
    }
    Py_XDECREF(h->warnings);
    PyMem_RawFree(h->stack);
    PyMem_Free(static_cast<void *>(h->argv));
    PyMem_Free(static_cast<void *>(h->envp));
}

// Closes the caller's fd at *fd, where there is one, and forgets it.
static void close_ours(int *fd)
{
    if (*fd >= 0)
        vk::close_quietly(*fd);
    *fd = -1;
}

// Clones the init of a new PID namespace (and user namespace, where c has
// the maps pipe), which runs init_main(c); then closes the caller's copies
// of the pipes' write ends (the maps pipe's read end) and of c->caller.
// The init's pid, or -1 with errno; *pidfd a pidfd of it, made by the
// clone itself (CLONE_PIDFD, Linux 5.2), else -1.
static long clone_init(Child *c, Held *h, int *pidfd)
{
    // The caller, for the init to see whether it died before its
    // PR_SET_PDEATHSIG took hold (getppid() tells nothing in a new PID
    // namespace).
    c->caller = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0U));
    // Every signal held across the clone: none may run a handler of the
    // caller's in the child before it has reset them.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    // The pidfd comes with the clone: one opened afterwards finds no
    // process where the init has already ended and been reaped (a caller
    // whose SIGCHLD is SIG_IGN), and its pid may be another's by then.
    *pidfd = -1;
    unsigned long flags = SIGCHLD | CLONE_NEWPID | (c->maps[0] >= 0 ? CLONE_NEWUSER : 0UL);
    long pid = syscall(SYS_clone, flags | CLONE_PIDFD, 0, pidfd, 0, 0);
    if (pid < 0 && errno == EINVAL) { // before 5.2
        *pidfd = -1;
        pid = syscall(SYS_clone, flags, 0, 0, 0, 0);
    }
    if (pid == 0)
        init_main(c);
    int clone_errno = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close_ours(&h->reports[1]);
    close_ours(&h->statuses[1]);
    close_ours(&h->maps[0]);
    close_ours(&c->caller);
    errno = clone_errno;
    return pid;
}

// Kills the init at pid, waiting for its maps, and reaps it: SIGKILL, as it
// holds every other signal and has nothing to undo yet.
static void kill_init(pid_t pid, int pidfd)
{
    if (pidfd >= 0)
        syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0U);
    else
        kill(pid, SIGKILL);
    end_init(pid, true);
}

// Has maps (a callable) write the maps of the init's user namespace, its
// pid given, then tells the init to go on: 0; or -1 with the callable's
// exception, the init killed and reaped.
static int map_init(PyObject *maps, long pid, int pidfd, Held *h)
{
    PyObject *done = PyObject_CallFunction(maps, "l", pid);
    Py_XDECREF(done);
    const char go = 1;
    long wrote = -1;
    if (done != nullptr)
        wrote = vk::retrying([&] { return static_cast<long>(write(h->maps[1], &go, 1)); });
    int saved = errno;
    close_ours(&h->maps[1]);
    if (wrote == 1)
        return 0;
    if (done != nullptr)
        vk::os_error(saved);
    kill_init(static_cast<pid_t>(pid), pidfd);
    if (pidfd >= 0)
        vk::close_quietly(pidfd);
    return -1;
}

// What spawn() returns once the init at pid has started the command:
// (pid, pidfd, status, warnings), the status pipe's read end then the
// caller's. Null with an exception where the command did not start or that
// cannot be had, the init then ended and reaped.
static PyObject *started(long pid, int made, const Child &c, Held *h, PyObject *argv, PyObject *cwd)
{
    if (await_start(static_cast<pid_t>(pid), h->reports[0], c, h->warnings, argv, cwd) < 0) {
        if (made >= 0)
            vk::close_quietly(made);
        return nullptr;
    }
    // The clone's pidfd; without one, a pidfd of the init opened now, while
    // it is unreaped (where nothing reaps it behind the caller's back).
    long pidfd = made >= 0 ? made : syscall(SYS_pidfd_open, pid, 0U);
    PyObject *result =
        Py_BuildValue("(liiO)", pid, static_cast<int>(pidfd), h->statuses[0], h->warnings);
    if (result == nullptr) {
        if (pidfd >= 0)
            vk::close_quietly(static_cast<int>(pidfd));
        end_init(static_cast<pid_t>(pid), false);
    } else {
        h->statuses[0] = -1; // the caller's now
    }
    return result;
}

PyDoc_STRVAR(
    chroot_spawn_doc,
    "spawn($module, /, root, root_path, plan, argv, env, cwd, fds, new_namespace, places=(),\n"
    "      maps=None, handed=None)\n"
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
    "left in the namespace, reaps it and removes the places. With maps, a\n"
    "callable, the init is in a user namespace of its own too, and waits until\n"
    "maps(pid) has returned, which writes its maps (the init killed and reaped\n"
    "where it raises). With handed, a list of one item, the result is put there\n"
    "too before it is returned: an interrupt as the call returns drops it, not\n"
    "the init. Raises OSError for what failed before the exec, the init then\n"
    "reaped.");

static PyObject *chroot_spawn(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root",   "root_path", "plan",   "argv",
                                         "env",    "cwd",       "fds",    "new_namespace",
                                         "places", "maps",      "handed", nullptr};
    Child c = {};
    PyObject *root_path;
    PyObject *steps;
    PyObject *argv_obj;
    PyObject *env_obj;
    PyObject *cwd;
    PyObject *place_items = nullptr;
    PyObject *maps = Py_None;
    PyObject *handed = Py_None;
    int new_namespace;
    if (!vk::parse_args(args, kwargs, "O&O!OOOO!(iii)p|O!OO:spawn", kwlist, vk::to_fd, &c.root,
                        &PyBytes_Type, &root_path, &steps, &argv_obj, &env_obj, &PyBytes_Type, &cwd,
                        &c.fds[0], &c.fds[1], &c.fds[2], &new_namespace, &PyTuple_Type,
                        &place_items, &maps, &handed))
        return nullptr;
    if (handed != Py_None && (!PyList_Check(handed) || PyList_GET_SIZE(handed) != 1)) {
        PyErr_SetString(PyExc_TypeError, "handed must be a list of one item or None");
        return nullptr;
    }
    if (maps != Py_None && !PyCallable_Check(maps)) {
        PyErr_SetString(PyExc_TypeError, "maps must be callable or None");
        return nullptr;
    }
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
    Held h;
    PyObject *result = nullptr;
    if (hold(&h, argv_obj, env_obj, maps != Py_None) == 0) {
        c.plan = &plan;
        c.places = &places;
        c.argv = h.argv;
        c.envp = h.envp;
        c.cwd = PyBytes_AS_STRING(cwd);
        c.root_path = PyBytes_AS_STRING(root_path);
        c.new_namespace = new_namespace != 0;
        c.report = h.reports[1];
        c.status = h.statuses[1];
        c.maps[0] = h.maps[0];
        c.maps[1] = h.maps[1];
        // The stack grows down, from its top, 16-byte aligned.
        c.stack = h.stack + (COMMAND_STACK & ~static_cast<size_t>(15));
        int pidfd = -1;
        long pid = clone_init(&c, &h, &pidfd);
        if (pid < 0) // EPERM: a PID namespace is root's to make, outside a user namespace
            named_error(errno, root_path);
        else if (maps == Py_None || map_init(maps, pid, pidfd, &h) == 0)
            result = started(pid, pidfd, c, &h, argv_obj, cwd);
    }
    release(&h);
    places_free(&places);
    plan_free(&plan);
    // Where the caller keeps it already: a signal handler that raises as
    // this call returns (before the caller has stored the result) would
    // otherwise drop the only way to the running init.
    if (result != nullptr && handed != Py_None) {
        Py_INCREF(result);
        PyObject *was = PyList_GET_ITEM(handed, 0);
        PyList_SET_ITEM(handed, 0, result);
        Py_XDECREF(was);
    }
    return result;
}

PyDoc_STRVAR(chroot_signal_init_doc,
             "signal_init($module, /, pidfd, sig)\n"
             "--\n\n"
             "Send sig to the process pidfd refers to (pidfd_send_signal(2)): never to\n"
             "another that has its pid since, as Python 3.8 has no call for it.\n"
             "Raises OSError (ProcessLookupError where it has ended).");

static PyObject *chroot_signal_init(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"pidfd", "sig", nullptr};
    int pidfd;
    int sig;
    if (!vk::parse_args(args, kwargs, "ii:signal_init", kwlist, &pidfd, &sig))
        return nullptr;
    long ret = vk::once([=] { return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0U); });
    if (ret < 0)
        return vk::os_error(errno);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(chroot_wait_init_doc,
             "wait_init($module, /, pidfd)\n"
             "--\n\n"
             "Wait for the child pidfd refers to and reap it (waitid(2) with P_PIDFD):\n"
             "never another child that has its pid since. Returns its wait status, as\n"
             "os.waitpid gives it. Raises OSError (ChildProcessError where it was reaped).");

static PyObject *chroot_wait_init(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"pidfd", nullptr};
    int pidfd;
    if (!vk::parse_args(args, kwargs, "i:wait_init", kwlist, &pidfd))
        return nullptr;
    siginfo_t info = {};
    long ret = vk::retrying([&] {
        return static_cast<long>(
            waitid(static_cast<idtype_t>(P_PIDFD_ID), static_cast<id_t>(pidfd), &info, WEXITED));
    });
    if (ret < 0)
        return vk::call_error(ret);
    int status = info.si_code == CLD_EXITED ? (info.si_status & 0xff) << 8 : info.si_status & 0x7f;
    if (info.si_code == CLD_DUMPED)
        status |= 0x80;
    return PyLong_FromLong(status);
}

PyDoc_STRVAR(chroot_unshare_doc,
             "unshare($module, /, flags)\n"
             "--\n\n"
             "Disassociate parts of the calling process's context (unshare(2)), flags\n"
             "the CLONE_NEW* bits, as os.unshare does from Python 3.12.\n"
             "Raises OSError.");

static PyObject *chroot_unshare(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"flags", nullptr};
    int flags;
    if (!vk::parse_args(args, kwargs, "i:unshare", kwlist, &flags))
        return nullptr;
    long ret = vk::once([=] { return syscall(SYS_unshare, flags); });
    if (ret < 0)
        return vk::os_error(errno);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(chroot_set_pdeathsig_doc,
             "set_pdeathsig($module, /, sig)\n"
             "--\n\n"
             "Have the kernel send sig to the calling process when the thread that\n"
             "made it ends (prctl(2) PR_SET_PDEATHSIG); 0 clears it.\n"
             "Raises OSError (EINVAL for no signal).");

static PyObject *chroot_set_pdeathsig(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"sig", nullptr};
    int sig;
    if (!vk::parse_args(args, kwargs, "i:set_pdeathsig", kwlist, &sig))
        return nullptr;
    long ret = vk::once([=] {
        return syscall(SYS_prctl, PR_SET_PDEATHSIG, static_cast<unsigned long>(sig), 0UL, 0UL, 0UL);
    });
    if (ret < 0)
        return vk::os_error(errno);
    Py_RETURN_NONE;
}

PyMethodDef spawn_methods[] = {
    VK_METHOD(chroot, spawn),   VK_METHOD(chroot, signal_init),   VK_METHOD(chroot, wait_init),
    VK_METHOD(chroot, unshare), VK_METHOD(chroot, set_pdeathsig), {nullptr, nullptr, 0, nullptr},
};

} // namespace rooted

// velkora._chroot: spawn(), a command started with a root as its "/": a
// child made by clone(2), in a mount namespace of its own where asked, that
// carries out the plan, chroots and execs, all between the clone and the
// exec in this C code, with no Python in the child.

#include "chroot.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace rooted {

namespace {

// Where the child failed, told to the parent through the report pipe.
enum Stage : unsigned char { AT_STEP, AT_PRIVATE, AT_STDIO, AT_ROOT, AT_CWD, AT_EXEC };

struct Report {
    int stage;
    int index;
    int error;
};

// What the child needs, all made before the clone.
struct Child {
    int root = -1;
    const char *root_path = nullptr; // where new_namespace, the root looked up again in it
    const Plan *plan = nullptr;
    char *const *argv = nullptr;
    char *const *envp = nullptr;
    const char *cwd = nullptr;
    int fds[3] = {-1, -1, -1};
    pid_t parent = 0;
    bool new_namespace = false;
    int report = -1;
};

} // namespace

static const char DEFAULT_PATH[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

[[noreturn]] static void fail(const Child *c, int stage, int index)
{
    Report r = {stage, index, errno};
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

[[noreturn]] static void child_main(const Child *c)
{
    default_handlers();
    // Dies with the caller; where the caller is gone already, at once.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != c->parent)
        _exit(127);
    int root = c->new_namespace ? own_root(c) : c->root;
    Py_ssize_t failed = 0;
    if (carry_out(root, c->plan, &failed) != 0)
        fail(c, AT_STEP, static_cast<int>(failed));
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
static PyObject *child_error(const Report &r, const Plan *plan, PyObject *argv, PyObject *cwd)
{
    if (r.stage == AT_STEP && r.index >= 0 && r.index < plan->count)
        return step_error(plan, r.index, r.error);
    if (r.stage == AT_EXEC)
        return named_error(r.error, PySequence_Fast_GET_ITEM(argv, 0));
    if (r.stage == AT_CWD)
        return named_error(r.error, cwd);
    return vk::os_error(r.error);
}

PyDoc_STRVAR(chroot_spawn_doc,
             "spawn($module, /, root, root_path, plan, argv, env, cwd, fds, new_namespace)\n--\n\n"
             "Starts argv (a list of bytes) with root, an fd of the directory at\n"
             "root_path, as its \"/\" and cwd its working directory, env (a list of\n"
             "b\"KEY=VALUE\") its environment and fds (three fds, -1 for the caller's\n"
             "own) its standard input, output and error; returns its pid. The child,\n"
             "made by clone(2) with CLONE_NEWNS where new_namespace (and root looked up\n"
             "again there), makes every mount private there, carries out plan, chroots\n"
             "and execs, and is killed when the calling thread ends (PR_SET_PDEATHSIG).\n"
             "Raises OSError for what failed before the exec, the child then reaped.");

static PyObject *chroot_spawn(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root", "root_path", "plan",          "argv", "env",
                                         "cwd",  "fds",       "new_namespace", nullptr};
    Child c = {};
    PyObject *root_path;
    PyObject *steps;
    PyObject *argv_obj;
    PyObject *env_obj;
    PyObject *cwd;
    int new_namespace;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O!OOOO!(iii)p:spawn",
                                     const_cast<char **>(kwlist), vk::to_fd, &c.root, &PyBytes_Type,
                                     &root_path, &steps, &argv_obj, &env_obj, &PyBytes_Type, &cwd,
                                     &c.fds[0], &c.fds[1], &c.fds[2], &new_namespace))
        return nullptr;
    Plan plan;
    if (plan_from(steps, &plan) < 0)
        return nullptr;
    char **argv = strings_of(argv_obj, "argv");
    char **envp = argv == nullptr ? nullptr : strings_of(env_obj, "env");
    PyObject *result = nullptr;
    int pipe_fds[2] = {-1, -1};
    if (envp == nullptr)
        goto done;
    if (argv[0] == nullptr) {
        PyErr_SetString(PyExc_ValueError, "argv must not be empty");
        goto done;
    }
    if (syscall(SYS_pipe2, pipe_fds, O_CLOEXEC) != 0) {
        vk::os_error(errno);
        goto done;
    }
    c.plan = &plan;
    c.argv = argv;
    c.envp = envp;
    c.cwd = PyBytes_AS_STRING(cwd);
    c.root_path = PyBytes_AS_STRING(root_path);
    c.parent = getpid();
    c.new_namespace = new_namespace != 0;
    c.report = pipe_fds[1];
    {
        // Every signal held across the clone: none may run a handler of the
        // caller's in the child before it has reset them.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, &old);
        long pid = syscall(SYS_clone, SIGCHLD | (c.new_namespace ? CLONE_NEWNS : 0), 0, 0, 0, 0);
        if (pid == 0)
            child_main(&c);
        int clone_errno = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        vk::close_quietly(pipe_fds[1]);
        pipe_fds[1] = -1;
        if (pid < 0) {
            vk::os_error(clone_errno);
            goto done;
        }
        // The report, or nothing (end of file) once the exec closed the pipe.
        Report r = {};
        int read_fd = pipe_fds[0];
        long got = vk::retrying([&] { return static_cast<long>(read(read_fd, &r, sizeof r)); });
        if (got == 0) {
            result = PyLong_FromLong(pid);
            goto done;
        }
        int read_errno = errno;
        if (got == vk::RAISED) // interrupted: the child goes, and the interrupt is raised
            kill(static_cast<pid_t>(pid), SIGKILL);
        int status;
        while (waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
        }
        if (got == vk::RAISED)
            goto done;
        if (got != static_cast<long>(sizeof r)) {
            vk::os_error(got < 0 ? read_errno : EIO);
            goto done;
        }
        child_error(r, &plan, argv_obj, cwd);
    }
done:
    for (int fd : pipe_fds) {
        if (fd >= 0)
            vk::close_quietly(fd);
    }
    PyMem_Free(static_cast<void *>(argv));
    PyMem_Free(static_cast<void *>(envp));
    plan_free(&plan);
    return result;
}

PyMethodDef spawn_methods[] = {
    VK_METHOD(chroot, spawn),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace rooted

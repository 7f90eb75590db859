// velkora._loop: loop devices, for velkora.loop.
//
// attach() takes a free device from /dev/loop-control and binds a backing
// file to it with one LOOP_CONFIGURE (Linux 5.8), or on a kernel without it
// (asked once per process) with LOOP_SET_FD and LOOP_SET_STATUS64 (and
// LOOP_SET_BLOCK_SIZE, LOOP_SET_DIRECT_IO). Another process may take the same free device between
// the two steps: the kernel then answers EBUSY, and the whole step is tried
// again, a bounded number of times. Everything attach() opens it closes,
// except the device's fd, which it hands back already owned by an Owner
// object: no interrupt can fall between the attach and the owner, so with
// LO_FLAGS_AUTOCLEAR the device goes as soon as the owner is dropped. Each
// ioctl runs without the interpreter lock and is retried after EINTR unless
// a signal handler raised.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Newer than some headers the module builds against.
#ifndef LOOP_CONFIGURE
#define LOOP_CONFIGURE 0x4C0A
#endif

static const char LOOP_CONTROL[] = "/dev/loop-control";
// Racers all get the same lowest free number from LOOP_CTL_GET_FREE, so each
// lost race costs one round; eight at once needed at most eight here.
static const int ATTEMPTS = 64;

// ---------------------------------------------------------------------------
// System calls without the interpreter lock, retried after EINTR (PEP 475).
// Each returns -1 with errno set, or -2 with a Python exception set when a
// signal handler raised.

static int interrupted_by_handler(void)
{
    return PyErr_CheckSignals() != 0;
}

static long ioctl_retrying(int fd, unsigned long request, unsigned long arg)
{
    for (;;) {
        long ret;
        Py_BEGIN_ALLOW_THREADS
            ret = ioctl(fd, request, arg);
        Py_END_ALLOW_THREADS
        if (ret >= 0 || errno != EINTR)
            return ret;
        if (interrupted_by_handler())
            return -2;
    }
}

static int open_retrying(const char *path, int flags)
{
    for (;;) {
        int fd;
        Py_BEGIN_ALLOW_THREADS
            fd = open(path, flags | O_CLOEXEC);
        Py_END_ALLOW_THREADS
        if (fd >= 0 || errno != EINTR)
            return fd;
        if (interrupted_by_handler())
            return -2;
    }
}

static void close_quietly(int fd)
{
    int saved = errno;
    Py_BEGIN_ALLOW_THREADS
        close(fd);
    Py_END_ALLOW_THREADS
    errno = saved;
}

// OSError for errno, naming the path where there is one.
static PyObject *os_error(const char *path)
{
    if (path == nullptr)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
}

// ---------------------------------------------------------------------------
// Argument converters.

static int to_u64(PyObject *obj, void *out)
{
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "an int is required, not %.200s", Py_TYPE(obj)->tp_name);
        return 0;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return 0;
    *static_cast<uint64_t *>(out) = value;
    return 1;
}

static int to_u32(PyObject *obj, void *out)
{
    uint64_t value;
    if (!to_u64(obj, &value))
        return 0;
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value does not fit in 32 bits");
        return 0;
    }
    *static_cast<uint32_t *>(out) = static_cast<uint32_t>(value);
    return 1;
}

// An fd: an int, or an object whose fileno() gives one.
static int to_fd(PyObject *obj, void *out)
{
    int fd = PyObject_AsFileDescriptor(obj);
    if (fd < 0)
        return 0;
    *static_cast<int *>(out) = fd;
    return 1;
}

// ---------------------------------------------------------------------------
// attach

namespace {
struct Request {
    int file_fd = -1;
    const char *file_path = nullptr; // for errors; nullptr when the caller gave an fd
    uint32_t block_size = 0;
    struct loop_info64 info = {};
};
} // namespace

// Undoes a binding after a later step failed, keeping errno and any
// exception of that step.
static void unbind(int dev_fd)
{
    int saved = errno;
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    while (ioctl(dev_fd, LOOP_CLR_FD, 0) < 0 && errno == EINTR) {
    }
    PyErr_Restore(type, value, traceback);
    errno = saved;
}

// The older way, for kernels without LOOP_CONFIGURE: bind, then configure.
// 0 when attached; -1 with errno (EBUSY: the device was taken, try another),
// -2 with an exception set. Undoes its own binding on a later failure.
static long attach_stepwise(int dev_fd, const Request *req)
{
    long ret = ioctl_retrying(dev_fd, LOOP_SET_FD, static_cast<unsigned long>(req->file_fd));
    if (ret < 0)
        return ret;
    struct loop_info64 info = req->info;
    info.lo_flags &= LOOP_SET_STATUS_SETTABLE_FLAGS;
    ret = ioctl_retrying(dev_fd, LOOP_SET_STATUS64, reinterpret_cast<unsigned long>(&info));
    if (ret == 0 && req->block_size != 0)
        ret = ioctl_retrying(dev_fd, LOOP_SET_BLOCK_SIZE, req->block_size);
    if (ret == 0 && (req->info.lo_flags & LO_FLAGS_DIRECT_IO))
        ret = ioctl_retrying(dev_fd, LOOP_SET_DIRECT_IO, 1);
    if (ret < 0) {
        unbind(dev_fd);
        if (errno == EBUSY)
            errno = EIO; // not a lost race: the device is ours by now
    }
    return ret;
}

// Whether the kernel has LOOP_CONFIGURE (5.8): 1 or 0 once asked, -1 before.
// Asked once per process, never read off a refused attach: an EINVAL from a
// real LOOP_CONFIGURE may be about its arguments (a backing file that is no
// regular file or block device, flags it refuses), and the older way would
// then bind the device, without autoclear, before failing too. Every thread
// asks the same kernel the same question, so a race only asks it twice.
static int has_configure = -1;

// Asks dev_fd's kernel, with no backing file (fd -1): one that has the
// command answers EBADF; one without, EINVAL or ENOTTY (a seccomp filter
// ENOSYS or EPERM). 1 or 0; -2 with an exception set.
static int kernel_has_configure(int dev_fd)
{
    int known = __atomic_load_n(&has_configure, __ATOMIC_RELAXED);
    if (known >= 0)
        return known;
    struct loop_config config = {};
    config.fd = UINT32_MAX;
    long ret = ioctl_retrying(dev_fd, LOOP_CONFIGURE, reinterpret_cast<unsigned long>(&config));
    if (ret == -2)
        return -2;
    int has = ret == -1 && errno == EBADF ? 1 : 0;
    __atomic_store_n(&has_configure, has, __ATOMIC_RELAXED);
    return has;
}

// Binds the file to /dev/loopN: the device's fd; -1 with errno when the
// device was taken first (EBUSY, EAGAIN) or could not be bound; -2 with an
// exception set.
static int attach_device(long n, const Request *req)
{
    char dev_path[32];
    (void)snprintf(dev_path, sizeof dev_path, "/dev/loop%ld", n);
    bool read_only = req->info.lo_flags & LO_FLAGS_READ_ONLY;
    int dev_fd = open_retrying(dev_path, read_only ? O_RDONLY : O_RDWR);
    if (dev_fd < 0) {
        if (dev_fd == -1)
            os_error(dev_path);
        return -2;
    }
    long ret = kernel_has_configure(dev_fd);
    if (ret == 1) {
        struct loop_config config = {};
        config.fd = static_cast<uint32_t>(req->file_fd);
        config.block_size = req->block_size;
        config.info = req->info;
        ret = ioctl_retrying(dev_fd, LOOP_CONFIGURE, reinterpret_cast<unsigned long>(&config));
    } else if (ret == 0) {
        ret = attach_stepwise(dev_fd, req);
    }
    if (ret == 0)
        return dev_fd;
    close_quietly(dev_fd);
    return static_cast<int>(ret);
}

// The fd of a free device bound to the backing file, and its number; -1 with
// an exception set.
static int attach_free_device(const Request *req, int *number)
{
    int control = open_retrying(LOOP_CONTROL, O_RDWR);
    if (control < 0) {
        if (control == -1)
            os_error(LOOP_CONTROL);
        return -1;
    }
    int dev_fd = -1;
    for (int attempt = 0; attempt < ATTEMPTS && dev_fd == -1; attempt++) {
        long n = ioctl_retrying(control, LOOP_CTL_GET_FREE, 0);
        if (n < 0) {
            if (n == -1)
                os_error(LOOP_CONTROL);
            dev_fd = -2;
            break;
        }
        dev_fd = attach_device(n, req);
        if (dev_fd >= 0) {
            *number = static_cast<int>(n);
        } else if (dev_fd == -1 && errno != EBUSY && errno != EAGAIN) {
            os_error(req->file_path);
            dev_fd = -2;
        }
        // EBUSY or EAGAIN: taken by another process in between; the next free one.
    }
    close_quietly(control);
    if (dev_fd == -1) // every attempt lost its race
        os_error(req->file_path);
    return dev_fd < 0 ? -1 : dev_fd;
}

// The backing file's fd: the caller's, or one opened here (*opened); -1
// with an exception set. (The caller has refused a directory: fstat would
// tie the module to glibc 2.33.)
static int backing_fd(PyObject *file, Request *req, bool *opened)
{
    bool read_only = req->info.lo_flags & LO_FLAGS_READ_ONLY;
    int fd;
    if (PyBytes_Check(file)) {
        req->file_path = PyBytes_AS_STRING(file);
        if (strlen(req->file_path) != static_cast<size_t>(PyBytes_GET_SIZE(file))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte in file");
            return -1;
        }
        fd = open_retrying(req->file_path, read_only ? O_RDONLY : O_RDWR);
        if (fd < 0) {
            if (fd == -1)
                os_error(req->file_path);
            return -1;
        }
        *opened = true;
    } else if (!to_fd(file, &fd)) {
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------------------
// Owner: an fd that is closed when the object goes, quietly: an owner that an
// interrupt dropped on its way to the caller is no mistake of the caller's.

namespace {
struct Owner {
    PyObject_HEAD int fd;
};

struct ModuleState {
    PyObject *owner_type;
};
} // namespace

static ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

static void owner_close(Owner *owner)
{
    int fd = owner->fd;
    owner->fd = -1;
    if (fd >= 0)
        close_quietly(fd);
}

static void owner_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    owner_close(reinterpret_cast<Owner *>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyDoc_STRVAR(owner_fileno_doc, "fileno($self, /)\n--\n\nThe fd; ValueError once closed.");

static PyObject *owner_fileno(PyObject *self, PyObject *unused)
{
    (void)unused;
    int fd = reinterpret_cast<Owner *>(self)->fd;
    if (fd < 0) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed loop device fd");
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

PyDoc_STRVAR(owner_close_doc, "close($self, /)\n--\n\nClose the fd; closing again does nothing.");

static PyObject *owner_close_method(PyObject *self, PyObject *unused)
{
    (void)unused;
    owner_close(reinterpret_cast<Owner *>(self));
    Py_RETURN_NONE;
}

static PyMethodDef owner_methods[] = {
    {"fileno", owner_fileno, METH_NOARGS, owner_fileno_doc},
    {"close", owner_close_method, METH_NOARGS, owner_close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(owner_doc, "A loop device's fd, closed when the object goes.");

static PyType_Slot owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(owner_dealloc)},
    {Py_tp_methods, owner_methods},
    {Py_tp_doc, const_cast<char *>(owner_doc)},
    {0, nullptr},
};

static PyType_Spec owner_spec = {
    "velkora._loop.Owner", sizeof(Owner), 0, Py_TPFLAGS_DEFAULT, owner_slots,
};

// (owner, number), the owner holding dev_fd, made before anything else can
// run; if it or the tuple cannot be made, the device is given back at once.
static PyObject *owned(PyObject *module, int dev_fd, int number)
{
    auto *type = reinterpret_cast<PyTypeObject *>(state_of(module)->owner_type);
    auto *owner = reinterpret_cast<Owner *>(type->tp_alloc(type, 0));
    if (owner != nullptr)
        owner->fd = dev_fd;
    PyObject *result = owner != nullptr ? Py_BuildValue("(Oi)", owner, number) : nullptr;
    if (result == nullptr) {
        unbind(dev_fd);
        if (owner == nullptr)
            close_quietly(dev_fd);
    }
    Py_XDECREF(owner); // the tuple holds it, or it closes the fd
    return result;
}

PyDoc_STRVAR(loop_attach_doc,
             "attach($module, /, file, file_name, flags=0, offset=0, size_limit=0, block_size=0)\n"
             "--\n\n"
             "Bind a backing file to a free loop device.\n\n"
             "file is a path (bytes), opened read-only when flags has LO_FLAGS_READ_ONLY and\n"
             "read-write otherwise, or an fd; file_name goes into lo_file_name (63 bytes\n"
             "at most). Returns (owner, number): an Owner of the device's fd,\n"
             "non-inheritable, and the device's number. Raises OSError on failure.");

static PyObject *loop_attach(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"file",       "file_name",  "flags", "offset",
                                         "size_limit", "block_size", nullptr};
    PyObject *file;
    Py_buffer name = {};
    Request req = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oy*|O&O&O&O&:attach",
                                     const_cast<char **>(kwlist), &file, &name, to_u32,
                                     &req.info.lo_flags, to_u64, &req.info.lo_offset, to_u64,
                                     &req.info.lo_sizelimit, to_u32, &req.block_size))
        return nullptr;
    // Byte by byte: memcpy would tie the module to a newer C library.
    const auto *given = static_cast<const unsigned char *>(name.buf);
    for (Py_ssize_t i = 0; i < name.len && i < LO_NAME_SIZE - 1; i++)
        req.info.lo_file_name[i] = given[i];
    PyBuffer_Release(&name);

    bool opened = false;
    req.file_fd = backing_fd(file, &req, &opened);
    if (req.file_fd < 0)
        return nullptr;
    int number = -1;
    int dev_fd = attach_free_device(&req, &number);
    if (opened)
        close_quietly(req.file_fd);
    if (dev_fd < 0)
        return nullptr;
    return owned(self, dev_fd, number);
}

PyDoc_STRVAR(loop_detach_doc,
             "detach($module, fd, /)\n"
             "--\n\n"
             "Unbind the loop device open as fd from its backing file (LOOP_CLR_FD).\n\n"
             "On a device still in use the kernel only marks it to go when the last\n"
             "user closes it. Raises OSError on failure.");

static PyObject *loop_detach(PyObject *self, PyObject *arg)
{
    int fd;
    (void)self;
    if (!to_fd(arg, &fd))
        return nullptr;
    long ret = ioctl_retrying(fd, LOOP_CLR_FD, 0);
    if (ret == -1)
        return os_error(nullptr);
    if (ret < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(loop_status_doc,
             "status($module, fd, /)\n"
             "--\n\n"
             "The loop device open as fd, as LOOP_GET_STATUS64 gives it: (number, device,\n"
             "inode, offset, size_limit, flags, file_name), where device and inode are the\n"
             "backing file's. Raises OSError on failure (ENXIO: nothing is attached).");

static PyObject *loop_status(PyObject *self, PyObject *arg)
{
    int fd;
    struct loop_info64 info = {};
    (void)self;
    if (!to_fd(arg, &fd))
        return nullptr;
    long ret = ioctl_retrying(fd, LOOP_GET_STATUS64, reinterpret_cast<unsigned long>(&info));
    if (ret == -1)
        return os_error(nullptr);
    if (ret < 0)
        return nullptr;
    const char *name = reinterpret_cast<const char *>(info.lo_file_name);
    return Py_BuildValue("(IKKKKIy#)", info.lo_number,
                         static_cast<unsigned long long>(info.lo_device),
                         static_cast<unsigned long long>(info.lo_inode),
                         static_cast<unsigned long long>(info.lo_offset),
                         static_cast<unsigned long long>(info.lo_sizelimit), info.lo_flags, name,
                         static_cast<Py_ssize_t>(strnlen(name, LO_NAME_SIZE)));
}

PyDoc_STRVAR(loop_set_autoclear_doc,
             "set_autoclear($module, fd, on, /)\n"
             "--\n\n"
             "Set or clear LO_FLAGS_AUTOCLEAR on the loop device open as fd\n"
             "(LOOP_GET_STATUS64, then LOOP_SET_STATUS64). Raises OSError on failure.");

static PyObject *loop_set_autoclear(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    int fd;
    (void)self;
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_autoclear expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    int on = PyObject_IsTrue(args[1]);
    if (on < 0 || !to_fd(args[0], &fd))
        return nullptr;
    struct loop_info64 info = {};
    long ret = ioctl_retrying(fd, LOOP_GET_STATUS64, reinterpret_cast<unsigned long>(&info));
    if (ret == 0) {
        info.lo_flags =
            on ? info.lo_flags | LO_FLAGS_AUTOCLEAR : info.lo_flags & ~LO_FLAGS_AUTOCLEAR;
        ret = ioctl_retrying(fd, LOOP_SET_STATUS64, reinterpret_cast<unsigned long>(&info));
    }
    if (ret == -1)
        return os_error(nullptr);
    if (ret < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyMethodDef loop_methods[] = {
    {"set_autoclear",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loop_set_autoclear)),
     METH_FASTCALL, loop_set_autoclear_doc},
    {"attach", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loop_attach)),
     METH_VARARGS | METH_KEYWORDS, loop_attach_doc},
    {"detach", loop_detach, METH_O, loop_detach_doc},
    {"status", loop_status, METH_O, loop_status_doc},
    {nullptr, nullptr, 0, nullptr},
};

static const struct {
    const char *name;
    long value;
} loop_constants[] = {
    {"LO_FLAGS_READ_ONLY", LO_FLAGS_READ_ONLY},
    {"LO_FLAGS_AUTOCLEAR", LO_FLAGS_AUTOCLEAR},
    {"LO_FLAGS_PARTSCAN", LO_FLAGS_PARTSCAN},
    {"LO_FLAGS_DIRECT_IO", LO_FLAGS_DIRECT_IO},
    {"LO_NAME_SIZE", LO_NAME_SIZE},
    {"LOOP_SET_FD", LOOP_SET_FD},
    {"LOOP_CLR_FD", LOOP_CLR_FD},
    {"LOOP_SET_STATUS64", LOOP_SET_STATUS64},
    {"LOOP_GET_STATUS64", LOOP_GET_STATUS64},
    {"LOOP_SET_DIRECT_IO", LOOP_SET_DIRECT_IO},
    {"LOOP_SET_BLOCK_SIZE", LOOP_SET_BLOCK_SIZE},
    {"LOOP_CONFIGURE", LOOP_CONFIGURE},
    {"LOOP_CTL_GET_FREE", LOOP_CTL_GET_FREE},
};

static int loop_exec(PyObject *module)
{
    PyObject *type = PyType_FromSpec(&owner_spec);
    if (type == nullptr)
        return -1;
    state_of(module)->owner_type = type;
    Py_INCREF(type);
    if (PyModule_AddObject(module, "Owner", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    for (const auto &constant : loop_constants) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddIntConstant(module, constant.name, constant.value) < 0)
            return -1;
    }
    return 0;
}

static PyModuleDef_Slot loop_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(loop_exec)},
#ifdef Py_mod_multiple_interpreters
    // No state of its own: every interpreter, with its own GIL, may load it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyDoc_STRVAR(loop_module_doc,
             "Loop devices: attach a backing file, read a device's status, detach.");

static int loop_traverse(PyObject *module, visitproc visit, void *arg)
{
    ModuleState *state = state_of(module);
    Py_VISIT(state->owner_type);
    return 0;
}

static int loop_clear(PyObject *module)
{
    ModuleState *state = state_of(module);
    Py_CLEAR(state->owner_type);
    return 0;
}

static void loop_free(void *module)
{
    (void)loop_clear(static_cast<PyObject *>(module));
}

static struct PyModuleDef loop_module = {
    PyModuleDef_HEAD_INIT, "velkora._loop", loop_module_doc,
    sizeof(ModuleState),   loop_methods,    loop_slots,
    loop_traverse,         loop_clear,      loop_free,
};

// Python 3.8's PyMODINIT_FUNC does not mark the symbol visible, and the
// module is built with hidden visibility: say it here for every version.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((visibility("default"))) PyObject *PyInit__loop(void);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__loop(void)
{
    return PyModuleDef_Init(&loop_module);
}

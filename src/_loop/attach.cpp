// velkora._loop: attach() takes a free device from /dev/loop-control and
// binds a backing file to it with one LOOP_CONFIGURE (Linux 5.8), or on a
// kernel without it (asked once per process) with LOOP_SET_FD and
// LOOP_SET_STATUS64 (and LOOP_SET_BLOCK_SIZE, LOOP_SET_DIRECT_IO). Another
// process may take the same free device between the two steps: the kernel
// then answers EBUSY (or, where the other process has let it go again and
// it is being torn down, ENXIO to the open), and the whole step is tried
// again, a bounded number of times. Everything attach() opens it closes,
// except the device's fd, which it hands back already owned by an Owner
// (owner.cpp): no interrupt can fall between the attach and the owner, so
// with LO_FLAGS_AUTOCLEAR the device goes as soon as the owner is dropped.

#include "loop.h"

#include <stdio.h>
#include <time.h>

namespace loop {

static const char LOOP_CONTROL[] = "/dev/loop-control";
// Racers all get the same lowest free number from LOOP_CTL_GET_FREE, so each
// lost race costs one round; eight at once needed at most eight here.
static const int ATTEMPTS = 64;

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
void unbind(int dev_fd)
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
    if (dev_fd == -1 && errno == ENXIO)
        return -1; // bound and let go by another meanwhile: torn down, it refuses opens
    if (dev_fd < 0) {
        if (dev_fd == -1)
            path_error(-1, dev_path);
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
    vk::close_quietly(dev_fd);
    return static_cast<int>(ret);
}

// The fd of a free device bound to the backing file, and its number; -1 with
// an exception set.
static int attach_free_device(const Request *req, int *number)
{
    int control = open_retrying(LOOP_CONTROL, O_RDWR);
    if (control < 0) {
        if (control == -1)
            path_error(-1, LOOP_CONTROL);
        return -1;
    }
    int dev_fd = -1;
    for (int attempt = 0; attempt < ATTEMPTS && dev_fd == -1; attempt++) {
        long n = ioctl_retrying(control, LOOP_CTL_GET_FREE, 0);
        if (n < 0) {
            if (n == -1)
                path_error(-1, LOOP_CONTROL);
            dev_fd = -2;
            break;
        }
        dev_fd = attach_device(n, req);
        if (dev_fd >= 0) {
            *number = static_cast<int>(n);
        } else if (dev_fd == -1 && errno != EBUSY && errno != EAGAIN && errno != ENXIO) {
            path_error(-1, req->file_path);
            dev_fd = -2;
        } else if (dev_fd == -1 && errno == ENXIO) {
            // Torn down: LOOP_CTL_GET_FREE names it again until it is gone,
            // so the next round waits a little longer each time.
            struct timespec pause = {0, 200000L * (attempt + 1)};
            Py_BEGIN_ALLOW_THREADS
                nanosleep(&pause, nullptr);
            Py_END_ALLOW_THREADS
            errno = ENXIO;
        }
        // EBUSY, EAGAIN or ENXIO: taken by another process in between; the next free one.
    }
    vk::close_quietly(control);
    if (dev_fd == -1) // every attempt lost its race
        path_error(-1, req->file_path);
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
                path_error(-1, req->file_path);
            return -1;
        }
        *opened = true;
    } else if (!vk::to_fd(file, &fd)) {
        return -1;
    }
    return fd;
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
    if (!vk::parse_args(args, kwargs, "Oy*|O&O&O&O&:attach", kwlist, &file, &name, vk::to_u32,
                        &req.info.lo_flags, vk::to_u64, &req.info.lo_offset, vk::to_u64,
                        &req.info.lo_sizelimit, vk::to_u32, &req.block_size))
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
        vk::close_quietly(req.file_fd);
    if (dev_fd < 0)
        return nullptr;
    return owned(self, dev_fd, number);
}

PyMethodDef attach_methods[] = {
    {"attach", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loop_attach)),
     METH_VARARGS | METH_KEYWORDS, loop_attach_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace loop

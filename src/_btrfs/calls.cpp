// velkora._btrfs: opening a path, the ioctl, its errors, and the fields a
// record takes from the kernel's structures.

#include "btrfs.h"

#include <sys/statfs.h>

namespace btrfs {

int open_path(const Path &path, int flags, int dir_fd, const char *at)
{
    const char *name = at != nullptr ? at : path.text;
    // Non-blocking: a FIFO's open must not wait for a writer.
    int oflags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags;
    long fd = vk::retrying([=] { return static_cast<long>(openat(dir_fd, name, oflags)); });
    if (fd < 0) {
        vk::call_error(fd, path.obj);
        return -1;
    }
    return static_cast<int>(fd);
}

long ioctl_retrying(int fd, unsigned long request, void *arg)
{
    return vk::retrying([=] { return static_cast<long>(ioctl(fd, request, arg)); });
}

int open_arg(PyObject *arg, Path &path, Fd &fd)
{
    if (!path.set(arg))
        return 0;
    fd.fd = open_path(path);
    return fd.fd >= 0;
}

int path_ioctl(PyObject *arg, unsigned long request, void *data)
{
    Path path;
    Fd fd;
    if (!open_arg(arg, path, fd))
        return 0;
    long ret = ioctl_retrying(fd.fd, request, data);
    if (ret < 0) {
        ioctl_error(ret, fd.fd, path.obj);
        return 0;
    }
    return 1;
}

PyObject *ioctl_error(long ret, int fd, PyObject *path)
{
    if (ret == vk::RAISED)
        return nullptr;
    int saved_errno = errno;
    if (saved_errno == ENOTTY || saved_errno == EINVAL) {
        struct statfs fs;
        long done = vk::retrying([fd, &fs] { return static_cast<long>(fstatfs(fd, &fs)); });
        if (done == vk::RAISED)
            return nullptr;
        if (done == 0 && static_cast<unsigned long>(fs.f_type) != BTRFS_SUPER_MAGIC) {
            PyObject *args = Py_BuildValue("(isO)", saved_errno, "Not on a Btrfs filesystem",
                                           path != nullptr ? path : Py_None);
            if (args != nullptr) {
                PyErr_SetObject(PyExc_OSError, args);
                Py_DECREF(args);
            }
            return nullptr;
        }
    }
    return vk::os_error(saved_errno, path);
}

PyObject *uuid_text(const unsigned char *uuid)
{
    static const char digits[] = "0123456789abcdef";
    bool zero = true;
    for (int i = 0; i < 16; i++)
        zero = zero && uuid[i] == 0;
    if (zero)
        Py_RETURN_NONE;
    char text[36];
    int at = 0;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text[at++] = '-';
        text[at++] = digits[uuid[i] >> 4];
        text[at++] = digits[uuid[i] & 15];
    }
    return PyUnicode_FromStringAndSize(text, 36);
}

PyObject *seconds(uint64_t sec, uint32_t nsec)
{
    if (sec == 0 && nsec == 0)
        Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(sec) + (static_cast<double>(nsec) / 1e9));
}

PyObject *info_row(const struct btrfs_ioctl_get_subvol_info_args &info, PyObject *dir_path)
{
    return Py_BuildValue(
        "(KKKy#ONNNKKKKKNNNNN)", static_cast<unsigned long long>(info.treeid),
        static_cast<unsigned long long>(info.parent_id),
        static_cast<unsigned long long>(info.dirid), info.name,
        static_cast<Py_ssize_t>(strnlen(info.name, sizeof info.name)), dir_path,
        uuid_text(info.uuid), uuid_text(info.parent_uuid), uuid_text(info.received_uuid),
        static_cast<unsigned long long>(info.generation),
        static_cast<unsigned long long>(info.ctransid),
        static_cast<unsigned long long>(info.otransid),
        static_cast<unsigned long long>(info.stransid),
        static_cast<unsigned long long>(info.rtransid), seconds(info.ctime.sec, info.ctime.nsec),
        seconds(info.otime.sec, info.otime.nsec), seconds(info.stime.sec, info.stime.nsec),
        seconds(info.rtime.sec, info.rtime.nsec),
        PyBool_FromLong((info.flags & BTRFS_ROOT_SUBVOL_RDONLY) != 0));
}

} // namespace btrfs

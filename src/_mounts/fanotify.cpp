// velkora._mounts: another process's mount namespace, and fanotify's
// mount events (Linux 6.15), for velkora.mountinfo's pid= and watch().

#include "mounts.h"

#include <fcntl.h>
#include <sys/ioctl.h>

namespace mounts {

// NS_GET_MNTNS_ID from <linux/nsfs.h> (6.11 and later): _IOR(0xb7, 5, __u64).
static const unsigned long NS_GET_MNTNS_ID = 0x8008b705UL;
static const unsigned int FAN_CLOEXEC = 0x1U;

PyDoc_STRVAR(mounts_mntns_id_doc,
             "mntns_id($module, /, path)\n--\n\n"
             "The id of the mount namespace that the nsfs file at path (such as\n"
             "/proc/PID/ns/mnt) stands for, as listmount(2) and statmount(2) take it.\n\n"
             "Calls ioctl(NS_GET_MNTNS_ID). Raises OSError on failure.");

static PyObject *mounts_mntns_id(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", nullptr};
    PyObject *path = nullptr;
    if (!vk::parse_args(args, kwargs, "O&:mntns_id", kwlist, vk::to_path, &path))
        return nullptr;
    const char *name = PyBytes_AS_STRING(path);
    uint64_t id = 0;
    long fd = vk::retrying([name] { return static_cast<long>(open(name, O_RDONLY | O_CLOEXEC)); });
    long ret = fd;
    if (fd >= 0) {
        ret = vk::once(
            [&] { return static_cast<long>(ioctl(static_cast<int>(fd), NS_GET_MNTNS_ID, &id)); });
        vk::close_quietly(static_cast<int>(fd));
    }
    PyObject *result = ret == 0 ? PyLong_FromUnsignedLongLong(id) : vk::call_error(ret, path);
    Py_DECREF(path);
    return result;
}

PyDoc_STRVAR(mounts_fanotify_init_doc,
             "fanotify_init($module, /, flags, event_f_flags=0)\n--\n\n"
             "A new fanotify group's fd, non-inheritable (FAN_CLOEXEC is always added).\n\n"
             "Calls fanotify_init(2). Raises OSError on failure.");

static PyObject *mounts_fanotify_init(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"flags", "event_f_flags", nullptr};
    unsigned int flags;
    unsigned int event_f_flags = 0;
    if (!vk::parse_args(args, kwargs, "I|I:fanotify_init", kwlist, &flags, &event_f_flags))
        return nullptr;
    long fd =
        vk::once([&] { return syscall(SYS_fanotify_init, flags | FAN_CLOEXEC, event_f_flags); });
    if (fd < 0)
        return vk::call_error(fd);
    return PyLong_FromLong(fd);
}

PyDoc_STRVAR(mounts_fanotify_mark_doc,
             "fanotify_mark($module, /, fd, flags, mask, path)\n--\n\n"
             "Adds, removes or changes a mark of the fanotify group fd on path.\n\n"
             "Calls fanotify_mark(2). Raises OSError on failure.");

static PyObject *mounts_fanotify_mark(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fd", "flags", "mask", "path", nullptr};
    int fd;
    unsigned int flags;
    uint64_t mask;
    PyObject *path = nullptr;
    if (!vk::parse_args(args, kwargs, "iIO&O&:fanotify_mark", kwlist, &fd, &flags, vk::to_u64,
                        &mask, vk::to_path, &path))
        return nullptr;
    const char *name = PyBytes_AS_STRING(path);
    long ret =
        vk::once([&] { return syscall(SYS_fanotify_mark, fd, flags, mask, AT_FDCWD, name); });
    PyObject *result = ret == 0 ? Py_NewRef(Py_None) : vk::call_error(ret, path);
    Py_DECREF(path);
    return result;
}

PyMethodDef fanotify_methods[] = {
    VK_METHOD(mounts, mntns_id),
    VK_METHOD(mounts, fanotify_init),
    VK_METHOD(mounts, fanotify_mark),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace mounts

// velkora.fsmount: the calls that make an fd or move a mount: fsopen(2),
// fspick(2), fsmount(2), open_tree(2), move_mount(2), mount_setattr(2).

#include "fsmount.h"

namespace fsmount {

// An fd-making call (fsopen, fspick, open_tree): made without the
// interpreter lock, again after EINTR unless a signal handler raised (PEP
// 475); the fd, or OSError naming filename.
static PyObject *fd_call(long number, long a, long b, long c, PyObject *filename)
{
    long fd = vk::retrying([=] { return syscall(number, a, b, c); });
    return fd >= 0 ? PyLong_FromLong(fd) : vk::call_error(fd, filename);
}

PyDoc_STRVAR(fsmount_fsopen_doc,
             "fsopen($module, /, fs_name, flags=0)\n--\n\n"
             "Open a new filesystem context for the filesystem type fs_name.\n\n"
             "Calls fsopen(2) with FSOPEN_CLOEXEC added to flags, and returns the\n"
             "context's fd, non-inheritable (os.set_inheritable changes that).\n"
             "Raises OSError on failure.");

static PyObject *fsmount_fsopen(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fs_name", "flags", nullptr};
    PyObject *name_obj;
    unsigned int flags = 0;
    if (!vk::parse_args(args, kwargs, "U|O&:fsopen", kwlist, &name_obj, vk::to_u32, &flags))
        return nullptr;
    const char *fs_name = utf8_text(name_obj, "fs_name");
    if (fs_name == nullptr)
        return nullptr;
    return fd_call(SYS_fsopen, reinterpret_cast<long>(fs_name), flags | FSOPEN_CLOEXEC, 0, nullptr);
}

PyDoc_STRVAR(fsmount_fspick_doc,
             "fspick($module, /, dirfd, path, flags=0)\n--\n\n"
             "Open a filesystem context on the superblock of a mounted filesystem,\n"
             "to reconfigure it.\n\n"
             "Calls fspick(2) with FSPICK_CLOEXEC added to flags, and returns the\n"
             "context's fd, non-inheritable. Raises OSError on failure.");

// fspick and open_tree: (dirfd, path, flags) in, an fd out; cloexec is
// added to the flags.
static PyObject *path_to_fd(long number, const char *format, unsigned int cloexec, PyObject *args,
                            PyObject *kwargs)
{
    static const char *const kwlist[] = {"dirfd", "path", "flags", nullptr};
    int dirfd;
    PyObject *path_obj;
    unsigned int flags = 0;
    if (!vk::parse_args(args, kwargs, format, kwlist, vk::to_dirfd, &dirfd, &path_obj, vk::to_u32,
                        &flags))
        return nullptr;
    PyObject *encoded;
    const char *path = vk::fs_text(path_obj, &encoded);
    if (path == nullptr)
        return nullptr;
    PyObject *fd = fd_call(number, dirfd, reinterpret_cast<long>(path), flags | cloexec, path_obj);
    Py_DECREF(encoded);
    return fd;
}

static PyObject *fsmount_fspick(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    return path_to_fd(SYS_fspick, "O&O|O&:fspick", FSPICK_CLOEXEC, args, kwargs);
}

PyDoc_STRVAR(fsmount_fsmount_doc,
             "fsmount($module, /, fs_fd, flags=0, attr_flags=0)\n--\n\n"
             "Make a detached mount of the superblock created in a filesystem context.\n\n"
             "Calls fsmount(2) with FSMOUNT_CLOEXEC added to flags, and returns the\n"
             "mount's fd, non-inheritable.\n"
             "Raises OSError on failure, with the kernel's messages in kernel_messages.");

static PyObject *fsmount_fsmount(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fs_fd", "flags", "attr_flags", nullptr};
    int fs_fd;
    unsigned int flags = 0;
    unsigned int attr_flags = 0;
    if (!vk::parse_args(args, kwargs, "O&|O&O&:fsmount", kwlist, vk::to_dirfd, &fs_fd, vk::to_u32,
                        &flags, vk::to_u32, &attr_flags))
        return nullptr;
    long ret =
        vk::once([=] { return syscall(SYS_fsmount, fs_fd, flags | FSMOUNT_CLOEXEC, attr_flags); });
    if (ret < 0)
        return context_error(errno, fs_fd, nullptr);
    return PyLong_FromLong(ret);
}

PyDoc_STRVAR(fsmount_open_tree_doc,
             "open_tree($module, /, dirfd, path, flags=0)\n--\n\n"
             "Open a mounted tree, or with OPEN_TREE_CLONE a detached copy of it.\n\n"
             "Calls open_tree(2) with OPEN_TREE_CLOEXEC added to flags, and returns\n"
             "the fd, non-inheritable. Raises OSError on failure.");

static PyObject *fsmount_open_tree(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    return path_to_fd(SYS_open_tree, "O&O|O&:open_tree", OPEN_TREE_CLOEXEC, args, kwargs);
}

PyDoc_STRVAR(fsmount_move_mount_doc,
             "move_mount($module, /, from_dirfd, from_path, to_dirfd, to_path, flags=0)\n--\n\n"
             "Move a mount, or attach a detached one, to a place in the tree.\n\n"
             "Calls move_mount(2). Raises OSError on failure.");

static PyObject *fsmount_move_mount(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"from_dirfd", "from_path", "to_dirfd",
                                         "to_path",    "flags",     nullptr};
    int from_dirfd;
    int to_dirfd;
    PyObject *from_obj;
    PyObject *to_obj;
    unsigned int flags = 0;
    if (!vk::parse_args(args, kwargs, "O&OO&O|O&:move_mount", kwlist, vk::to_dirfd, &from_dirfd,
                        &from_obj, vk::to_dirfd, &to_dirfd, &to_obj, vk::to_u32, &flags))
        return nullptr;
    PyObject *from_bytes;
    PyObject *to_bytes;
    const char *from_path = vk::fs_text(from_obj, &from_bytes);
    if (from_path == nullptr)
        return nullptr;
    const char *to_path = vk::fs_text(to_obj, &to_bytes);
    if (to_path == nullptr) {
        Py_DECREF(from_bytes);
        return nullptr;
    }
    long ret = vk::once(
        [&] { return syscall(SYS_move_mount, from_dirfd, from_path, to_dirfd, to_path, flags); });
    Py_DECREF(from_bytes);
    Py_DECREF(to_bytes);
    if (ret < 0)
        return vk::call_error(ret, from_obj, to_obj);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(fsmount_mount_setattr_doc,
             "mount_setattr($module, /, dirfd, path, flags=0, *, attr_set=0, attr_clr=0, "
             "propagation=0, userns_fd=None)\n--\n\n"
             "Change the attributes of a mount, or with AT_RECURSIVE of a whole tree.\n\n"
             "Calls mount_setattr(2) with a struct mount_attr made of the keywords.\n"
             "MOUNT_ATTR_IDMAP in attr_set needs userns_fd. Raises OSError on failure.");

static PyObject *fsmount_mount_setattr(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"dirfd",    "path",        "flags",     "attr_set",
                                         "attr_clr", "propagation", "userns_fd", nullptr};
    int dirfd;
    PyObject *path_obj;
    unsigned int flags = 0;
    struct mount_attr attr = {};
    PyObject *userns_obj = Py_None;
    if (!vk::parse_args(args, kwargs, "O&O|O&$O&O&O&O:mount_setattr", kwlist, vk::to_dirfd, &dirfd,
                        &path_obj, vk::to_u32, &flags, vk::to_u64, &attr.attr_set, vk::to_u64,
                        &attr.attr_clr, vk::to_u64, &attr.propagation, &userns_obj))
        return nullptr;
    if (userns_obj != Py_None) {
        int userns_fd;
        if (!vk::to_dirfd(userns_obj, &userns_fd))
            return nullptr;
        // As a C caller's int would be widened: -1 stays all ones.
        attr.userns_fd = static_cast<uint64_t>(static_cast<int64_t>(userns_fd));
    } else if ((attr.attr_set & MOUNT_ATTR_IDMAP) != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "MOUNT_ATTR_IDMAP needs userns_fd, the user namespace's fd");
        return nullptr;
    }
    PyObject *encoded;
    const char *path = vk::fs_text(path_obj, &encoded);
    if (path == nullptr)
        return nullptr;
    long ret = vk::once(
        [&] { return syscall(SYS_mount_setattr, dirfd, path, flags, &attr, sizeof attr); });
    Py_DECREF(encoded);
    if (ret < 0)
        return vk::call_error(ret, path_obj);
    Py_RETURN_NONE;
}

PyMethodDef calls_methods[] = {
    VK_METHOD(fsmount, fsopen),     VK_METHOD(fsmount, fspick),
    VK_METHOD(fsmount, fsmount),    VK_METHOD(fsmount, open_tree),
    VK_METHOD(fsmount, move_mount), VK_METHOD(fsmount, mount_setattr),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace fsmount

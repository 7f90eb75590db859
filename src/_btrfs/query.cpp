// velkora._btrfs: what any user may ask of a path on Btrfs: whether it is a
// subvolume, which subvolume holds it, that subvolume's record
// (GET_SUBVOL_INFO), the filesystem's UUID, and the subvolumes directly
// below one (GET_SUBVOL_ROOTREF, INO_LOOKUP_USER).

#include "btrfs.h"

#include <linux/stat.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>

namespace btrfs {

namespace {

PyDoc_STRVAR(query_is_subvolume_doc,
             "is_subvolume($module, path, /)\n"
             "--\n\n"
             "Whether path is the root directory of a Btrfs subvolume: False for one\n"
             "that is not on Btrfs. Raises OSError (FileNotFoundError: no such path).");

PyObject *query_is_subvolume(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    if (!path.set(arg))
        return nullptr;
    struct statfs fs;
    const char *text = path.text;
    long ret = vk::retrying([text, &fs] { return static_cast<long>(statfs(text, &fs)); });
    if (ret < 0)
        return vk::call_error(ret, path.obj);
    if (static_cast<unsigned long>(fs.f_type) != BTRFS_SUPER_MAGIC)
        Py_RETURN_FALSE;
    struct statx st = {};
    // By number: glibc's stat and statx are newer than the oldest C library
    // the wheels run on.
    ret = vk::retrying([text, &st] {
        return syscall(__NR_statx, AT_FDCWD, text, 0, STATX_TYPE | STATX_INO, &st);
    });
    if (ret < 0)
        return vk::call_error(ret, path.obj);
    return PyBool_FromLong(S_ISDIR(st.stx_mode) && st.stx_ino == BTRFS_FIRST_FREE_OBJECTID);
}

PyDoc_STRVAR(query_subvolume_id_doc,
             "subvolume_id($module, path, /)\n"
             "--\n\n"
             "The id of the subvolume that holds path (INO_LOOKUP, which any user may\n"
             "ask this of). Raises OSError on failure.");

PyObject *query_subvolume_id(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    if (!path.set(arg))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    struct btrfs_ioctl_ino_lookup_args args = {};
    args.objectid = BTRFS_FIRST_FREE_OBJECTID;
    long ret = ioctl_retrying(fd.fd, BTRFS_IOC_INO_LOOKUP, &args);
    if (ret < 0)
        return ioctl_error(ret, fd.fd, path.obj);
    return PyLong_FromUnsignedLongLong(args.treeid);
}

PyDoc_STRVAR(query_subvol_info_doc,
             "subvol_info($module, path, /)\n"
             "--\n\n"
             "The subvolume that holds path, as GET_SUBVOL_INFO gives it: (id, parent_id,\n"
             "dir_id, name, None, uuid, parent_uuid, received_uuid, generation, ctransid,\n"
             "otransid, stransid, rtransid, ctime, otime, stime, rtime, read_only).\n"
             "Raises OSError on failure.");

PyObject *query_subvol_info(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    if (!path.set(arg))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    struct btrfs_ioctl_get_subvol_info_args info = {};
    long ret = ioctl_retrying(fd.fd, BTRFS_IOC_GET_SUBVOL_INFO, &info);
    if (ret < 0)
        return ioctl_error(ret, fd.fd, path.obj);
    return Py_BuildValue(
        "(KKKy#ONNNKKKKKNNNNN)", static_cast<unsigned long long>(info.treeid),
        static_cast<unsigned long long>(info.parent_id),
        static_cast<unsigned long long>(info.dirid), info.name,
        static_cast<Py_ssize_t>(strnlen(info.name, sizeof info.name)), Py_None,
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

PyDoc_STRVAR(query_fs_uuid_doc,
             "fs_uuid($module, path, /)\n"
             "--\n\n"
             "The UUID of the Btrfs filesystem that holds path (FS_INFO), as text.\n"
             "Raises OSError on failure.");

PyObject *query_fs_uuid(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    if (!path.set(arg))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    struct btrfs_ioctl_fs_info_args info = {};
    long ret = ioctl_retrying(fd.fd, BTRFS_IOC_FS_INFO, &info);
    if (ret < 0)
        return ioctl_error(ret, fd.fd, path.obj);
    return uuid_text(info.fsid);
}

PyDoc_STRVAR(query_rootrefs_doc,
             "rootrefs($module, path, /)\n"
             "--\n\n"
             "The subvolumes directly below the one that holds path, as\n"
             "GET_SUBVOL_ROOTREF gives them: a list of (id, dir_id) by id. Raises\n"
             "OSError on failure.");

PyObject *query_rootrefs(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    if (!path.set(arg))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    PyObject *list = PyList_New(0);
    if (list == nullptr)
        return nullptr;
    struct btrfs_ioctl_get_subvol_rootref_args refs = {};
    for (;;) {
        // EOVERFLOW: the buffer is full and min_treeid says where to go on.
        long ret = ioctl_retrying(fd.fd, BTRFS_IOC_GET_SUBVOL_ROOTREF, &refs);
        bool more = ret < 0 && errno == EOVERFLOW;
        if (ret < 0 && !more) {
            Py_DECREF(list);
            return ioctl_error(ret, fd.fd, path.obj);
        }
        for (int i = 0; i < refs.num_items; i++) {
            PyObject *item =
                Py_BuildValue("(KK)", static_cast<unsigned long long>(refs.rootref[i].treeid),
                              static_cast<unsigned long long>(refs.rootref[i].dirid));
            if (item == nullptr || PyList_Append(list, item) < 0) {
                Py_XDECREF(item);
                Py_DECREF(list);
                return nullptr;
            }
            Py_DECREF(item);
        }
        if (!more || refs.num_items == 0)
            return list;
    }
}

PyDoc_STRVAR(query_ino_lookup_user_doc,
             "ino_lookup_user($module, path, dir_id, id, /)\n"
             "--\n\n"
             "(dir_path, name) of the subvolume id, whose entry is in the directory\n"
             "dir_id of the subvolume that holds path: dir_path from path's directory,\n"
             "empty or ending in a slash (INO_LOOKUP_USER, which checks that the caller\n"
             "may search each directory on the way). Raises OSError on failure.");

PyObject *query_ino_lookup_user(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *obj;
    uint64_t dir_id, id;
    if (!PyArg_ParseTuple(args, "OO&O&:ino_lookup_user", &obj, vk::to_u64, &dir_id, vk::to_u64,
                          &id))
        return nullptr;
    Path path;
    if (!path.set(obj))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    struct btrfs_ioctl_ino_lookup_user_args lookup = {};
    lookup.dirid = dir_id;
    lookup.treeid = id;
    long ret = ioctl_retrying(fd.fd, BTRFS_IOC_INO_LOOKUP_USER, &lookup);
    if (ret < 0)
        return ioctl_error(ret, fd.fd, path.obj);
    return Py_BuildValue(
        "(y#y#)", lookup.path, static_cast<Py_ssize_t>(strnlen(lookup.path, sizeof lookup.path)),
        lookup.name, static_cast<Py_ssize_t>(strnlen(lookup.name, sizeof lookup.name)));
}

PyDoc_STRVAR(query_ino_lookup_doc,
             "ino_lookup($module, path, id, inode, /)\n"
             "--\n\n"
             "The path of the directory inode in the subvolume id of the filesystem\n"
             "that holds path, from that subvolume's root: empty or ending in a slash\n"
             "(INO_LOOKUP; root only). Raises OSError on failure.");

PyObject *query_ino_lookup(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *obj;
    uint64_t id, inode;
    if (!PyArg_ParseTuple(args, "OO&O&:ino_lookup", &obj, vk::to_u64, &id, vk::to_u64, &inode))
        return nullptr;
    Path path;
    if (!path.set(obj))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    struct btrfs_ioctl_ino_lookup_args lookup = {};
    lookup.treeid = id;
    lookup.objectid = inode;
    long ret = ioctl_retrying(fd.fd, BTRFS_IOC_INO_LOOKUP, &lookup);
    if (ret < 0)
        return ioctl_error(ret, fd.fd, path.obj);
    return PyBytes_FromStringAndSize(lookup.name, strnlen(lookup.name, sizeof lookup.name));
}

} // namespace

PyMethodDef query_methods[] = {
    {"ino_lookup", query_ino_lookup, METH_VARARGS, query_ino_lookup_doc},
    {"is_subvolume", query_is_subvolume, METH_O, query_is_subvolume_doc},
    {"subvolume_id", query_subvolume_id, METH_O, query_subvolume_id_doc},
    {"subvol_info", query_subvol_info, METH_O, query_subvol_info_doc},
    {"fs_uuid", query_fs_uuid, METH_O, query_fs_uuid_doc},
    {"rootrefs", query_rootrefs, METH_O, query_rootrefs_doc},
    {"ino_lookup_user", query_ino_lookup_user, METH_VARARGS, query_ino_lookup_user_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace btrfs

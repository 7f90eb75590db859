// velkora._btrfs: what any user may ask of a path on Btrfs: whether it is a
// subvolume, which subvolume holds it, that subvolume's record
// (GET_SUBVOL_INFO), the filesystem's UUID; and for root, a directory's
// path in any subvolume (INO_LOOKUP).

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
    struct btrfs_ioctl_ino_lookup_args args = {};
    args.objectid = BTRFS_FIRST_FREE_OBJECTID;
    if (!path_ioctl(arg, BTRFS_IOC_INO_LOOKUP, &args))
        return nullptr;
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
    struct btrfs_ioctl_get_subvol_info_args info = {};
    if (!path_ioctl(arg, BTRFS_IOC_GET_SUBVOL_INFO, &info))
        return nullptr;
    return info_row(info, Py_None);
}

PyDoc_STRVAR(query_fs_uuid_doc,
             "fs_uuid($module, path, /)\n"
             "--\n\n"
             "The UUID of the Btrfs filesystem that holds path (FS_INFO), as text.\n"
             "Raises OSError on failure.");

PyObject *query_fs_uuid(PyObject *self, PyObject *arg)
{
    (void)self;
    struct btrfs_ioctl_fs_info_args info = {};
    if (!path_ioctl(arg, BTRFS_IOC_FS_INFO, &info))
        return nullptr;
    return uuid_text(info.fsid);
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
    uint64_t id;
    uint64_t inode;
    if (!PyArg_ParseTuple(args, "OO&O&:ino_lookup", &obj, vk::to_u64, &id, vk::to_u64, &inode))
        return nullptr;
    struct btrfs_ioctl_ino_lookup_args lookup = {};
    lookup.treeid = id;
    lookup.objectid = inode;
    if (!path_ioctl(obj, BTRFS_IOC_INO_LOOKUP, &lookup))
        return nullptr;
    return PyBytes_FromStringAndSize(
        lookup.name, static_cast<Py_ssize_t>(strnlen(lookup.name, sizeof lookup.name)));
}

} // namespace

PyMethodDef query_methods[] = {
    {"ino_lookup", query_ino_lookup, METH_VARARGS, query_ino_lookup_doc},
    {"is_subvolume", query_is_subvolume, METH_O, query_is_subvolume_doc},
    {"subvolume_id", query_subvolume_id, METH_O, query_subvolume_id_doc},
    {"subvol_info", query_subvol_info, METH_O, query_subvol_info_doc},
    {"fs_uuid", query_fs_uuid, METH_O, query_fs_uuid_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace btrfs

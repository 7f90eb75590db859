// velkora._btrfs: what changes a filesystem: a subvolume made, snapshotted
// or deleted, its flags set, the default subvolume chosen, a received
// subvolume's record cleared.

#include "btrfs.h"

namespace btrfs {

namespace {

// A path split into its directory, opened, and its last name (a copy).
class Split {
  public:
    Split() = default;
    Split(const Split &) = delete;
    Split &operator=(const Split &) = delete;
    ~Split() { PyMem_Free(copy); }
    // 1, or 0 with an error set naming path: EINVAL where the last name is
    // "." or ".." or there is none, ENAMETOOLONG where Btrfs cannot take it.
    int set(const Path &path)
    {
        size_t len = strlen(path.text);
        copy = static_cast<char *>(PyMem_Malloc(len + 1));
        if (copy == nullptr) {
            PyErr_NoMemory();
            return 0;
        }
        vk::copy_bytes(copy, path.text, len + 1);
        while (len > 1 && copy[len - 1] == '/')
            copy[--len] = '\0';
        char *slash = strrchr(copy, '/');
        const char *dir_name = ".";
        if (slash == nullptr) {
            name = copy;
        } else {
            *slash = '\0';
            name = slash + 1;
            dir_name = slash == copy ? "/" : copy;
        }
        if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            vk::os_error(EINVAL, path.obj);
            return 0;
        }
        if (strlen(name) > BTRFS_VOL_NAME_MAX) {
            vk::os_error(ENAMETOOLONG, path.obj);
            return 0;
        }
        dir.fd = open_path(path, O_DIRECTORY, AT_FDCWD, dir_name);
        return dir.fd >= 0;
    }
    const char *last() const { return name; }
    int dir_fd() const { return dir.fd; }

  private:
    char *copy = nullptr;
    const char *name = nullptr;
    Fd dir;
};

// The id of the subvolume name in the directory dir_fd, just made; or null
// with an error set naming path.
PyObject *made_id(const Split &split, const Path &path)
{
    Fd fd(open_path(path, O_DIRECTORY, split.dir_fd(), split.last()));
    if (fd.fd < 0)
        return nullptr;
    struct btrfs_ioctl_ino_lookup_args args = {};
    args.objectid = BTRFS_FIRST_FREE_OBJECTID;
    long ret = ioctl_retrying(fd.fd, BTRFS_IOC_INO_LOOKUP, &args);
    if (ret < 0)
        return ioctl_error(ret, fd.fd, path.obj);
    return PyLong_FromUnsignedLongLong(args.treeid);
}

// The request that takes a name in a directory (struct btrfs_ioctl_vol_args)
// made for the path argument arg, split into path and split: 1, or 0 with
// the error set.
int name_ioctl(PyObject *arg, Path &path, Split &split, unsigned long request)
{
    if (!path.set(arg) || !split.set(path))
        return 0;
    struct btrfs_ioctl_vol_args args = {};
    vk::copy_bytes(args.name, split.last(), strlen(split.last()));
    long ret = ioctl_retrying(split.dir_fd(), request, &args);
    if (ret < 0) {
        ioctl_error(ret, split.dir_fd(), path.obj);
        return 0;
    }
    return 1;
}

PyDoc_STRVAR(change_create_doc,
             "create($module, path, /)\n"
             "--\n\n"
             "Make an empty subvolume at path (SUBVOL_CREATE); returns its id. Raises\n"
             "OSError on failure (FileExistsError where path exists).");

PyObject *change_create(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    Split split;
    if (!name_ioctl(arg, path, split, BTRFS_IOC_SUBVOL_CREATE))
        return nullptr;
    return made_id(split, path);
}

PyDoc_STRVAR(change_snapshot_doc,
             "snapshot($module, source, path, read_only=False, /)\n"
             "--\n\n"
             "Make a snapshot of the subvolume source at path (SNAP_CREATE_V2),\n"
             "read-only if asked; returns its id. Raises OSError on failure.");

PyObject *change_snapshot(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *source_obj;
    PyObject *path_obj;
    int read_only = 0;
    if (!PyArg_ParseTuple(args, "OO|p:snapshot", &source_obj, &path_obj, &read_only))
        return nullptr;
    Path source;
    Path path;
    Split split;
    if (!source.set(source_obj) || !path.set(path_obj))
        return nullptr;
    Fd source_fd(open_path(source, O_DIRECTORY));
    if (source_fd.fd < 0 || !split.set(path))
        return nullptr;
    struct btrfs_ioctl_vol_args_v2 v2 = {};
    v2.fd = source_fd.fd;
    v2.flags = read_only ? BTRFS_SUBVOL_RDONLY : 0;
    vk::copy_bytes(v2.name, split.last(), strlen(split.last()));
    long ret = ioctl_retrying(split.dir_fd(), BTRFS_IOC_SNAP_CREATE_V2, &v2);
    if (ret < 0) {
        if (ret != vk::RAISED && errno != ENOTTY && errno != EEXIST)
            return vk::os_error(errno, source.obj, path.obj);
        return ioctl_error(ret, split.dir_fd(), path.obj);
    }
    return made_id(split, path);
}

PyDoc_STRVAR(change_destroy_doc,
             "destroy($module, path, /)\n"
             "--\n\n"
             "Delete the subvolume at path (SNAP_DESTROY). Raises OSError on failure\n"
             "(ENOTEMPTY where a subvolume is below it).");

PyObject *change_destroy(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    Split split;
    if (!name_ioctl(arg, path, split, BTRFS_IOC_SNAP_DESTROY))
        return nullptr;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(change_destroy_id_doc,
             "destroy_id($module, path, id, /)\n"
             "--\n\n"
             "Delete the subvolume id of the filesystem that holds path\n"
             "(SNAP_DESTROY_V2, by id; Linux 5.7+). Raises OSError on failure.");

PyObject *change_destroy_id(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *obj;
    uint64_t id;
    if (!PyArg_ParseTuple(args, "OO&:destroy_id", &obj, vk::to_u64, &id))
        return nullptr;
    struct btrfs_ioctl_vol_args_v2 v2 = {};
    v2.flags = BTRFS_SUBVOL_SPEC_BY_ID;
    // subvolid shares its place with name (a union headers before 5.7 lack).
    vk::copy_bytes(v2.name, reinterpret_cast<const char *>(&id), sizeof id);
    if (!path_ioctl(obj, BTRFS_IOC_SNAP_DESTROY_V2, &v2))
        return nullptr;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(change_get_flags_doc,
             "get_flags($module, path, /)\n"
             "--\n\n"
             "The flags of the subvolume at path (SUBVOL_GETFLAGS): BTRFS_SUBVOL_RDONLY\n"
             "or 0. Raises OSError on failure.");

PyObject *change_get_flags(PyObject *self, PyObject *arg)
{
    (void)self;
    uint64_t flags = 0;
    if (!path_ioctl(arg, BTRFS_IOC_SUBVOL_GETFLAGS, &flags))
        return nullptr;
    return PyLong_FromUnsignedLongLong(flags);
}

PyDoc_STRVAR(change_set_flags_doc,
             "set_flags($module, path, flags, /)\n"
             "--\n\n"
             "Set the flags of the subvolume at path (SUBVOL_SETFLAGS). Raises OSError\n"
             "on failure (EINVAL where path is no subvolume).");

// A call that takes a path and a number and gives the number to request
// on the path: None, or null with the error set.
PyObject *number_ioctl(PyObject *args, const char *format, unsigned long request)
{
    PyObject *obj;
    uint64_t value;
    if (!PyArg_ParseTuple(args, format, &obj, vk::to_u64, &value))
        return nullptr;
    if (!path_ioctl(obj, request, &value))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *change_set_flags(PyObject * /*self*/, PyObject *args)
{
    return number_ioctl(args, "OO&:set_flags", BTRFS_IOC_SUBVOL_SETFLAGS);
}

PyDoc_STRVAR(change_set_default_doc,
             "set_default($module, path, id, /)\n"
             "--\n\n"
             "Make the subvolume id the default of the filesystem that holds path\n"
             "(DEFAULT_SUBVOL). Raises OSError on failure.");

PyObject *change_set_default(PyObject * /*self*/, PyObject *args)
{
    return number_ioctl(args, "OO&:set_default", BTRFS_IOC_DEFAULT_SUBVOL);
}

PyDoc_STRVAR(change_clear_received_doc,
             "clear_received($module, path, /)\n"
             "--\n\n"
             "Clear the received UUID, stransid and stime of the writable subvolume at\n"
             "path (SET_RECEIVED_SUBVOL with zeros). Raises OSError on failure.");

PyObject *change_clear_received(PyObject *self, PyObject *arg)
{
    (void)self;
    struct btrfs_ioctl_received_subvol_args args = {};
    if (!path_ioctl(arg, BTRFS_IOC_SET_RECEIVED_SUBVOL, &args))
        return nullptr;
    Py_RETURN_NONE;
}

} // namespace

PyMethodDef change_methods[] = {
    {"create", change_create, METH_O, change_create_doc},
    {"snapshot", change_snapshot, METH_VARARGS, change_snapshot_doc},
    {"destroy", change_destroy, METH_O, change_destroy_doc},
    {"destroy_id", change_destroy_id, METH_VARARGS, change_destroy_id_doc},
    {"get_flags", change_get_flags, METH_O, change_get_flags_doc},
    {"set_flags", change_set_flags, METH_VARARGS, change_set_flags_doc},
    {"set_default", change_set_default, METH_VARARGS, change_set_default_doc},
    {"clear_received", change_clear_received, METH_O, change_clear_received_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace btrfs

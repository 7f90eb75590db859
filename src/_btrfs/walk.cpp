// velkora._btrfs: what an ordinary user may list below a path: from each
// subvolume reached, the subvolumes directly below it (GET_SUBVOL_ROOTREF),
// each one's place from there (INO_LOOKUP_USER, which checks that the user
// may search every directory on the way), opened and asked for its record
// (GET_SUBVOL_INFO). Depth first, holding one fd for each level.

#include "btrfs.h"

namespace btrfs {

namespace {

// Deeper than any tree a filesystem holds in practice; past it, ELOOP.
const int max_depth = 512;

// What one level needs, too big for the stack at every level.
struct Level {
    struct btrfs_ioctl_get_subvol_rootref_args refs;
    struct btrfs_ioctl_ino_lookup_user_args lookup;
    struct btrfs_ioctl_get_subvol_info_args info;
    char inner[BTRFS_INO_LOOKUP_USER_PATH_MAX + BTRFS_VOL_NAME_MAX + 2];
};

// prefix followed by n bytes of more, and a slash if asked (new reference).
PyObject *joined(PyObject *prefix, const char *more, size_t n, bool slash)
{
    Py_ssize_t size = PyBytes_GET_SIZE(prefix);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, size + static_cast<Py_ssize_t>(n) + slash);
    if (out == nullptr)
        return nullptr;
    char *to = PyBytes_AS_STRING(out);
    vk::copy_bytes(to, PyBytes_AS_STRING(prefix), static_cast<size_t>(size));
    vk::copy_bytes(to + size, more, n);
    if (slash)
        to[size + static_cast<Py_ssize_t>(n)] = '/';
    return out;
}

// Whether an error means "not the user's to see, or gone": the entry is
// left out (unless strict: then only one gone is).
bool out_of_reach(long ret, bool strict)
{
    return ret != vk::RAISED &&
           (errno == ENOENT || (!strict && (errno == EACCES || errno == EPERM)));
}

// With strict, the error of a subvolume found below but not at its place
// (a mount over it or over a directory on the way, or its name moved
// meanwhile): EBUSY naming path, and its place from path (n bytes of inner
// after rel) as the second name. -1.
int hidden(const Path &path, PyObject *rel, const char *inner, size_t n)
{
    PyObject *place = joined(rel, inner, n, false);
    if (place != nullptr)
        vk::os_error(EBUSY, path.obj, place);
    Py_XDECREF(place);
    return -1;
}

// One subvolume (the one open as fd, reached at rel) looked into: its
// subvolumes appended to list, and theirs. 0, or -1 with an error set.
int walk(int fd, PyObject *rel, PyObject *list, const Path &path, int depth, bool strict)
{
    if (depth > max_depth) {
        vk::os_error(ELOOP, path.obj);
        return -1;
    }
    auto *level = static_cast<Level *>(PyMem_Calloc(1, sizeof(Level)));
    if (level == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    int result = 0;
    for (bool more = true; more && result == 0;) {
        // EOVERFLOW: the buffer is full and min_treeid says where to go on.
        long ret = ioctl_retrying(fd, BTRFS_IOC_GET_SUBVOL_ROOTREF, &level->refs);
        more = ret < 0 && errno == EOVERFLOW && level->refs.num_items > 0;
        if (ret < 0 && !more) {
            ioctl_error(ret, fd, path.obj);
            result = -1;
            break;
        }
        for (int i = 0; i < level->refs.num_items && result == 0; i++) {
            uint64_t id = level->refs.rootref[i].treeid;
            level->lookup = {};
            level->lookup.dirid = level->refs.rootref[i].dirid;
            level->lookup.treeid = id;
            ret = ioctl_retrying(fd, BTRFS_IOC_INO_LOOKUP_USER, &level->lookup);
            if (ret < 0) {
                if (!out_of_reach(ret, strict)) {
                    ioctl_error(ret, fd, path.obj);
                    result = -1;
                }
                continue;
            }
            size_t dir_len = strnlen(level->lookup.path, sizeof level->lookup.path);
            size_t name_len = strnlen(level->lookup.name, sizeof level->lookup.name);
            vk::copy_bytes(level->inner, level->lookup.path, dir_len);
            vk::copy_bytes(level->inner + dir_len, level->lookup.name, name_len);
            level->inner[dir_len + name_len] = '\0';
            const char *inner = level->inner;
            long child = vk::retrying([fd, inner] {
                return static_cast<long>(
                    openat(fd, inner, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
            });
            size_t inner_len = dir_len + name_len;
            if (child < 0) {
                if (strict && child != vk::RAISED && (errno == ENOENT || errno == ENOTDIR))
                    result = hidden(path, rel, inner, inner_len);
                else if (!out_of_reach(child, strict) && errno != ENOTDIR) {
                    vk::call_error(child, path.obj);
                    result = -1;
                }
                continue;
            }
            Fd owner(static_cast<int>(child));
            level->info = {};
            ret = ioctl_retrying(owner.fd, BTRFS_IOC_GET_SUBVOL_INFO, &level->info);
            // ENOTTY, EINVAL: another filesystem is mounted there.
            bool other = ret < 0 && ret != vk::RAISED && (errno == ENOTTY || errno == EINVAL);
            if (ret < 0 && !other) {
                ioctl_error(ret, owner.fd, path.obj);
                result = -1;
                continue;
            }
            if (other || level->info.treeid != id) {
                // Something else is mounted there: left out of a listing,
                // refused where the whole tree is asked for.
                if (strict)
                    result = hidden(path, rel, inner, inner_len);
                continue;
            }
            PyObject *dir = joined(rel, level->lookup.path, dir_len, false);
            PyObject *row = dir != nullptr ? info_row(level->info, dir) : nullptr;
            Py_XDECREF(dir);
            PyObject *below = row != nullptr ? joined(rel, level->inner, inner_len, true) : nullptr;
            if (below == nullptr || PyList_Append(list, row) < 0 ||
                walk(owner.fd, below, list, path, depth + 1, strict) < 0)
                result = -1;
            Py_XDECREF(row);
            Py_XDECREF(below);
        }
    }
    PyMem_Free(level);
    return result;
}

PyDoc_STRVAR(walk_reachable_doc,
             "reachable($module, path, strict=False, /)\n"
             "--\n\n"
             "The subvolumes below path that the caller may reach, as an ordinary user\n"
             "may ask for them (GET_SUBVOL_ROOTREF, INO_LOOKUP_USER, GET_SUBVOL_INFO),\n"
             "parents before children: rows as roots() gives them, dir_path from path.\n"
             "A subvolume in a directory the caller may not search, or hidden by a mount,\n"
             "is left out, with what is below it; with strict, PermissionError naming\n"
             "path for the first, OSError EBUSY naming path and its place from path\n"
             "for the second.\n"
             "Raises OSError on failure.");

PyObject *walk_reachable(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *obj;
    int strict = 0;
    if (!PyArg_ParseTuple(args, "O|p:reachable", &obj, &strict))
        return nullptr;
    Path path;
    if (!path.set(obj))
        return nullptr;
    Fd fd(open_path(path, O_DIRECTORY));
    if (fd.fd < 0)
        return nullptr;
    PyObject *list = PyList_New(0);
    PyObject *rel = PyBytes_FromStringAndSize("", 0);
    if (list == nullptr || rel == nullptr || walk(fd.fd, rel, list, path, 0, strict != 0) < 0)
        Py_CLEAR(list);
    Py_XDECREF(rel);
    return list;
}

} // namespace

PyMethodDef walk_methods[] = {
    {"reachable", walk_reachable, METH_VARARGS, walk_reachable_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace btrfs

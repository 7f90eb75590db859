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
    struct btrfs_ioctl_get_subvol_rootref_args refs = {};
    struct btrfs_ioctl_ino_lookup_user_args lookup = {};
    struct btrfs_ioctl_get_subvol_info_args info = {};
    char inner[BTRFS_INO_LOOKUP_USER_PATH_MAX + BTRFS_VOL_NAME_MAX + 2] = {};
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

// A subvolume being looked into: its fd (owned below the first), its place
// from path (owned), the buffers, the next entry of the batch and whether
// another batch is to be asked for.
struct Frame {
    int fd;
    PyObject *rel;
    Level *level;
    int next;
    bool more;
};

// Entry i of the frame's batch found at its place and opened: 1 with
// *child set, 0 where it is left out, -1 with an error set. Its place from
// the frame's subvolume in level->inner (inner_len bytes).
int open_entry(const Frame &f, int i, const Path &path, bool strict, int *child, size_t *inner_len)
{
    Level *level = f.level;
    int fd = f.fd;
    level->lookup = {};
    level->lookup.dirid = level->refs.rootref[i].dirid;
    level->lookup.treeid = level->refs.rootref[i].treeid;
    long ret = ioctl_retrying(fd, BTRFS_IOC_INO_LOOKUP_USER, &level->lookup);
    if (ret < 0) {
        if (out_of_reach(ret, strict))
            return 0;
        ioctl_error(ret, fd, path.obj);
        return -1;
    }
    size_t dir_len = strnlen(level->lookup.path, sizeof level->lookup.path);
    size_t name_len = strnlen(level->lookup.name, sizeof level->lookup.name);
    vk::copy_bytes(level->inner, level->lookup.path, dir_len);
    vk::copy_bytes(level->inner + dir_len, level->lookup.name, name_len);
    level->inner[dir_len + name_len] = '\0';
    *inner_len = dir_len + name_len;
    const char *inner = level->inner;
    long opened = vk::retrying([fd, inner] {
        return static_cast<long>(
            openat(fd, inner, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    });
    if (opened >= 0) {
        *child = static_cast<int>(opened);
        return 1;
    }
    if (strict && opened != vk::RAISED && (errno == ENOENT || errno == ENOTDIR))
        return hidden(path, f.rel, inner, *inner_len);
    if (out_of_reach(opened, strict) || errno == ENOTDIR)
        return 0;
    vk::call_error(opened, path.obj);
    return -1;
}

// Entry i of the frame's batch, open as child: its row appended to list
// and *below set to its place from path (new reference): 1; 0 where it is
// left out; -1 with an error set.
int record_entry(const Frame &f, int i, int child, size_t inner_len, const Path &path, bool strict,
                 PyObject *list, PyObject **below)
{
    Level *level = f.level;
    level->info = {};
    long ret = ioctl_retrying(child, BTRFS_IOC_GET_SUBVOL_INFO, &level->info);
    // ENOTTY, EINVAL: another filesystem is mounted there.
    bool other = ret < 0 && ret != vk::RAISED && (errno == ENOTTY || errno == EINVAL);
    if (ret < 0 && !other) {
        ioctl_error(ret, child, path.obj);
        return -1;
    }
    if (other || level->info.treeid != level->refs.rootref[i].treeid) {
        // Something else is mounted there: left out of a listing, refused
        // where the whole tree is asked for.
        return strict ? hidden(path, f.rel, level->inner, inner_len) : 0;
    }
    size_t dir_len = strnlen(level->lookup.path, sizeof level->lookup.path);
    PyObject *dir = joined(f.rel, level->lookup.path, dir_len, false);
    PyObject *row = dir != nullptr ? info_row(level->info, dir) : nullptr;
    Py_XDECREF(dir);
    *below = row != nullptr ? joined(f.rel, level->inner, inner_len, true) : nullptr;
    int result = *below == nullptr || PyList_Append(list, row) < 0 ? -1 : 1;
    if (result < 0)
        Py_CLEAR(*below);
    Py_XDECREF(row);
    return result;
}

// The next batch of the frame's subvolume asked for. 0, or -1 with an
// error set.
int next_batch(Frame &f, const Path &path)
{
    // EOVERFLOW: the buffer is full and min_treeid says where to go on.
    long ret = ioctl_retrying(f.fd, BTRFS_IOC_GET_SUBVOL_ROOTREF, &f.level->refs);
    f.more = ret < 0 && errno == EOVERFLOW && f.level->refs.num_items > 0;
    f.next = 0;
    if (ret < 0 && !f.more) {
        ioctl_error(ret, f.fd, path.obj);
        return -1;
    }
    return 0;
}

// A frame set up for the subvolume open as fd, reached at rel (both taken
// over). 0, or -1 with an error set (fd and rel then released by the
// caller's clean-up through the frame).
int push_frame(Frame *frames, int depth, int fd, PyObject *rel, const Path &path)
{
    Frame &f = frames[depth];
    f = {fd, rel, nullptr, 0, true};
    if (depth > max_depth) {
        vk::os_error(ELOOP, path.obj);
        return -1;
    }
    f.level = static_cast<Level *>(PyMem_Calloc(1, sizeof(Level)));
    if (f.level == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

void pop_frame(Frame &f, int depth)
{
    if (depth > 0)
        vk::close_quietly(f.fd);
    Py_XDECREF(f.rel);
    PyMem_Free(f.level);
}

// The subvolume open as fd and reached at rel looked into, depth first:
// its subvolumes appended to list, and theirs. 0, or -1 with an error set.
int walk(int fd, PyObject *rel, PyObject *list, const Path &path, bool strict)
{
    auto *frames = static_cast<Frame *>(PyMem_Calloc(max_depth + 2, sizeof(Frame)));
    if (frames == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(rel);
    int depth = 0;
    int result = push_frame(frames, depth, fd, rel, path);
    while (result == 0 && depth >= 0) {
        Frame &f = frames[depth];
        if (f.next >= f.level->refs.num_items) {
            if (f.more) {
                result = next_batch(f, path);
            } else {
                pop_frame(f, depth);
                depth--;
            }
            continue;
        }
        int i = f.next++;
        int child = -1;
        size_t inner_len = 0;
        PyObject *below = nullptr;
        int found = open_entry(f, i, path, strict, &child, &inner_len);
        if (found > 0) {
            found = record_entry(f, i, child, inner_len, path, strict, list, &below);
            if (found <= 0)
                vk::close_quietly(child);
        }
        if (found > 0)
            result = push_frame(frames, ++depth, child, below, path);
        else if (found < 0)
            result = -1;
    }
    for (; depth >= 0; depth--)
        pop_frame(frames[depth], depth);
    PyMem_Free(frames);
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
    if (list == nullptr || rel == nullptr || walk(fd.fd, rel, list, path, strict != 0) < 0)
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

// velkora._btrfs: the tree of tree roots, read with TREE_SEARCH_V2 (which
// needs CAP_SYS_ADMIN): every subvolume's root item and back reference,
// its directory's path through INO_LOOKUP, and the default subvolume.

#include "btrfs.h"

namespace btrfs {

namespace {

// The search buffer: big enough for a few hundred root items a call; a
// search for one subvolume (or the default) takes a page.
const size_t search_buffer = size_t{64} * 1024;
const size_t small_buffer = 4096;

class Search {
  public:
    explicit Search(size_t buffer_size) : size(buffer_size) {}
    Search(const Search &) = delete;
    Search &operator=(const Search &) = delete;
    ~Search() { PyMem_Free(args); }
    // 1, or 0 with MemoryError set.
    int start(uint64_t tree, uint64_t min_id, uint64_t max_id, uint32_t min_type, uint32_t max_type)
    {
        args =
            static_cast<struct btrfs_ioctl_search_args_v2 *>(PyMem_Calloc(1, sizeof *args + size));
        if (args == nullptr) {
            PyErr_NoMemory();
            return 0;
        }
        struct btrfs_ioctl_search_key &key = args->key;
        key.tree_id = tree;
        key.min_objectid = min_id;
        key.max_objectid = max_id;
        key.min_type = min_type;
        key.max_type = max_type;
        key.max_offset = UINT64_MAX;
        key.max_transid = UINT64_MAX;
        return 1;
    }
    // The next batch: its item count (0 at the end), or a negative ret.
    long next(int fd) const
    {
        args->key.nr_items = UINT32_MAX;
        args->buf_size = size;
        long ret = ioctl_retrying(fd, BTRFS_IOC_TREE_SEARCH_V2, args);
        return ret < 0 ? ret : static_cast<long>(args->key.nr_items);
    }
    // The batch's first search header.
    const unsigned char *items() const
    {
        return reinterpret_cast<const unsigned char *>(args->buf);
    }
    // Moves the search past the key (objectid, type, offset); false where
    // nothing is left.
    bool past(uint64_t objectid, uint32_t type, uint64_t offset) const
    {
        struct btrfs_ioctl_search_key &key = args->key;
        if (offset < UINT64_MAX) {
            offset++;
        } else if (type < 255) {
            type++;
            offset = 0;
        } else if (objectid < UINT64_MAX) {
            objectid++;
            type = 0;
            offset = 0;
        } else {
            return false;
        }
        key.min_objectid = objectid;
        key.min_type = type;
        key.min_offset = offset;
        return objectid <= key.max_objectid;
    }

  private:
    struct btrfs_ioctl_search_args_v2 *args = nullptr;
    size_t size;
};

// The search header before each item (its first field, the transid, is
// not needed).
struct Header {
    uint64_t objectid;
    uint64_t offset;
    uint32_t type;
    uint32_t len;
};

Header header_at(const unsigned char *p)
{
    return {le64_at(p + 8), le64_at(p + 16), le32_at(p + 24), le32_at(p + 28)};
}
const size_t header_size = 32;

// A root item waiting for its back reference, which may come in the next
// batch.
struct Root {
    uint64_t id = 0;
    size_t len = 0;
    unsigned char item[item::root_size] = {};
};

PyObject *root_tuple(const Root &root, uint64_t parent, uint64_t dir_id, const unsigned char *name,
                     size_t name_len, PyObject *dir_path)
{
    const unsigned char *r = root.item;
    bool full = root.len >= item::root_size;
    static const unsigned char zeros[16] = {};
    auto uuid = [&](size_t at) { return uuid_text(full ? r + at : zeros); };
    auto number = [&](size_t at) {
        return static_cast<unsigned long long>(full ? le64_at(r + at) : 0);
    };
    auto time = [&](size_t which) {
        const unsigned char *t = r + item::root_ctime + (12 * which);
        return full ? seconds(le64_at(t), le32_at(t + 8)) : seconds(0, 0);
    };
    return Py_BuildValue(
        "(KKKy#ONNNKKKKKNNNNN)", static_cast<unsigned long long>(root.id),
        static_cast<unsigned long long>(parent), static_cast<unsigned long long>(dir_id),
        reinterpret_cast<const char *>(name), static_cast<Py_ssize_t>(name_len), dir_path,
        uuid(item::root_uuid), uuid(item::root_parent_uuid), uuid(item::root_received_uuid),
        static_cast<unsigned long long>(le64_at(r + item::root_generation)),
        number(item::root_ctransid), number(item::root_otransid), number(item::root_stransid),
        number(item::root_rtransid), time(0), time(1), time(2), time(3),
        PyBool_FromLong((le64_at(r + item::root_flags) & BTRFS_ROOT_SUBVOL_RDONLY) != 0));
}

// The path of the directory dir_id in the subvolume parent, from that
// subvolume's root: empty or ending in a slash (new reference); None where
// it is gone (deleted as the search ran); null with an error set.
PyObject *dir_path(int fd, const Path &path, uint64_t parent, uint64_t dir_id)
{
    if (dir_id == BTRFS_FIRST_FREE_OBJECTID)
        return PyBytes_FromStringAndSize("", 0);
    struct btrfs_ioctl_ino_lookup_args lookup = {};
    lookup.treeid = parent;
    lookup.objectid = dir_id;
    long ret = ioctl_retrying(fd, BTRFS_IOC_INO_LOOKUP, &lookup);
    if (ret < 0 && errno == ENOENT)
        Py_RETURN_NONE;
    if (ret < 0)
        return ioctl_error(ret, fd, path.obj);
    return PyBytes_FromStringAndSize(
        lookup.name, static_cast<Py_ssize_t>(strnlen(lookup.name, sizeof lookup.name)));
}

PyDoc_STRVAR(search_roots_doc,
             "roots($module, path, min_id=256, max_id=18446744073709551360, /)\n"
             "--\n\n"
             "The subvolumes of the filesystem that holds path whose ids are from min_id\n"
             "to max_id, by id, from the tree of tree roots (TREE_SEARCH_V2; root\n"
             "only): a list of (id, parent_id, dir_id, name, dir_path, uuid,\n"
             "parent_uuid, received_uuid, generation, ctransid, otransid, stransid,\n"
             "rtransid, ctime, otime, stime, rtime, read_only), dir_path the path of\n"
             "the directory dir_id in the subvolume parent_id (INO_LOOKUP), empty or\n"
             "ending in a slash. Subvolumes deleted but not yet cleaned up are left\n"
             "out. Raises OSError on failure (PermissionError for an ordinary user).");

// A listing under way: the root item waiting for its back reference, the
// last directory looked up (snapshots are often made side by side) and the
// list (null once an error is set).
struct Listing {
    int fd = -1;
    const Path *path = nullptr;
    PyObject *list = nullptr;
    Root root;
    uint64_t last_parent = 0;
    uint64_t last_dir = 0;
    PyObject *last_path = nullptr;
};

// The path of the directory dir_id in the subvolume parent, looked up
// unless it was the last one (borrowed; None where it is gone); null with
// an error set.
PyObject *cached_dir_path(Listing &l, uint64_t parent, uint64_t dir_id)
{
    if (l.last_path == nullptr || l.last_parent != parent || l.last_dir != dir_id) {
        Py_XDECREF(l.last_path);
        l.last_parent = parent;
        l.last_dir = dir_id;
        l.last_path = dir_path(l.fd, *l.path, parent, dir_id);
    }
    return l.last_path;
}

// One search item taken in: a root item kept, a back reference matching
// it appended to the list as a row. 0, or -1 with an error set.
int take_item(Listing &l, const Header &h, const unsigned char *data)
{
    Root &root = l.root;
    if (h.type == BTRFS_ROOT_ITEM_KEY) {
        root.id = h.objectid;
        root.len = h.len < item::root_size ? h.len : item::root_size;
        memset(root.item, 0, sizeof root.item);
        vk::copy_bytes(reinterpret_cast<char *>(root.item), reinterpret_cast<const char *>(data),
                       root.len);
        return 0;
    }
    if (h.type != BTRFS_ROOT_BACKREF_KEY || root.id != h.objectid || h.len < item::ref_size ||
        root.len < item::root_legacy_size)
        return 0;
    uint64_t dir_id = le64_at(data + item::ref_dirid);
    size_t name_len = le16_at(data + item::ref_name_len);
    if (name_len > h.len - item::ref_size)
        return 0;
    PyObject *dir = cached_dir_path(l, h.offset, dir_id);
    if (dir == nullptr)
        return -1;
    if (dir == Py_None)
        return 0;
    PyObject *t = root_tuple(root, h.offset, dir_id, data + item::ref_size, name_len, dir);
    int result = t == nullptr || PyList_Append(l.list, t) < 0 ? -1 : 0;
    Py_XDECREF(t);
    return result;
}

// The items of one batch taken in; last set to the last one's header. 0,
// or -1 with an error set.
int take_batch(Listing &l, const Search &search, long count, Header &last)
{
    const unsigned char *p = search.items();
    for (long i = 0; i < count; i++, p += header_size + last.len) {
        last = header_at(p);
        if (take_item(l, last, p + header_size) < 0)
            return -1;
    }
    return 0;
}

PyObject *search_roots(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *obj;
    uint64_t min_id = BTRFS_FIRST_FREE_OBJECTID;
    uint64_t max_id = BTRFS_LAST_FREE_OBJECTID;
    if (!PyArg_ParseTuple(args, "O|O&O&:roots", &obj, vk::to_u64, &min_id, vk::to_u64, &max_id))
        return nullptr;
    Path path;
    Fd fd;
    if (!open_arg(obj, path, fd))
        return nullptr;
    Search search(max_id - min_id < 8 ? small_buffer : search_buffer);
    if (!search.start(BTRFS_ROOT_TREE_OBJECTID, min_id, max_id, BTRFS_ROOT_ITEM_KEY,
                      BTRFS_ROOT_BACKREF_KEY))
        return nullptr;
    Listing l;
    l.fd = fd.fd;
    l.path = &path;
    l.list = PyList_New(0);
    bool going = l.list != nullptr;
    while (going) {
        long count = search.next(fd.fd);
        if (count < 0) {
            Py_CLEAR(l.list);
            ioctl_error(count, fd.fd, path.obj);
        }
        Header last = {};
        if (count > 0 && take_batch(l, search, count, last) < 0)
            Py_CLEAR(l.list);
        going =
            count > 0 && l.list != nullptr && search.past(last.objectid, last.type, last.offset);
    }
    Py_XDECREF(l.last_path);
    return l.list;
}

PyDoc_STRVAR(search_default_id_doc,
             "default_id($module, path, /)\n"
             "--\n\n"
             "The id of the default subvolume of the filesystem that holds path: the\n"
             "\"default\" entry of the tree of tree roots' directory, 5 where it has\n"
             "none (TREE_SEARCH_V2; root only). Raises OSError on failure.");

PyObject *search_default_id(PyObject *self, PyObject *arg)
{
    (void)self;
    Path path;
    Fd fd;
    if (!open_arg(arg, path, fd))
        return nullptr;
    Search search(small_buffer);
    if (!search.start(BTRFS_ROOT_TREE_OBJECTID, BTRFS_ROOT_TREE_DIR_OBJECTID,
                      BTRFS_ROOT_TREE_DIR_OBJECTID, BTRFS_DIR_ITEM_KEY, BTRFS_DIR_ITEM_KEY))
        return nullptr;
    for (;;) {
        long count = search.next(fd.fd);
        if (count < 0)
            return ioctl_error(count, fd.fd, path.obj);
        if (count == 0)
            return PyLong_FromUnsignedLongLong(BTRFS_FS_TREE_OBJECTID);
        const unsigned char *p = search.items();
        Header h = {};
        for (long i = 0; i < count; i++, p += header_size + h.len) {
            h = header_at(p);
            // One item holds every entry whose name has the same hash.
            size_t at = 0;
            while (h.type == BTRFS_DIR_ITEM_KEY && at + item::dir_size <= h.len) {
                const unsigned char *dir = p + header_size + at;
                size_t name_len = le16_at(dir + item::dir_name_len);
                size_t data_len = le16_at(dir + item::dir_name_len - 2);
                if (at + item::dir_size + name_len > h.len)
                    break;
                if (name_len == 7 && memcmp(dir + item::dir_size, "default", 7) == 0)
                    return PyLong_FromUnsignedLongLong(le64_at(dir + item::dir_location));
                at += item::dir_size + name_len + data_len;
            }
        }
        if (!search.past(h.objectid, h.type, h.offset))
            return PyLong_FromUnsignedLongLong(BTRFS_FS_TREE_OBJECTID);
    }
}

} // namespace

PyMethodDef search_methods[] = {
    {"roots", search_roots, METH_VARARGS, search_roots_doc},
    {"default_id", search_default_id, METH_O, search_default_id_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace btrfs

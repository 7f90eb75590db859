// velkora._btrfs: the tree of tree roots, read with TREE_SEARCH_V2 (which
// needs CAP_SYS_ADMIN): every subvolume's root item and back reference,
// its directory's path through INO_LOOKUP, and the default subvolume.

#include "btrfs.h"

namespace btrfs {

namespace {

// The search buffer: big enough for a few hundred root items a call; a
// search for one subvolume (or the default) takes a page.
const size_t search_buffer = 64 * 1024;
const size_t small_buffer = 4096;

struct Search {
    struct btrfs_ioctl_search_args_v2 *args = nullptr;
    size_t size = search_buffer;
    Search() = default;
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
    long next(int fd)
    {
        args->key.nr_items = UINT32_MAX;
        args->buf_size = size;
        long ret = ioctl_retrying(fd, BTRFS_IOC_TREE_SEARCH_V2, args);
        return ret < 0 ? ret : static_cast<long>(args->key.nr_items);
    }
    // Moves the search past the key (objectid, type, offset); false where
    // nothing is left.
    bool past(uint64_t objectid, uint32_t type, uint64_t offset)
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
};

// The search header before each item.
struct Header {
    uint64_t transid, objectid, offset;
    uint32_t type, len;
};

Header header_at(const unsigned char *p)
{
    return {le64_at(p), le64_at(p + 8), le64_at(p + 16), le32_at(p + 24), le32_at(p + 28)};
}
const size_t header_size = 32;

// A root item waiting for its back reference, which may come in the next
// batch.
struct Root {
    uint64_t id = 0;
    size_t len = 0;
    unsigned char item[item::root_size];
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
    auto time = [&](int which) {
        const unsigned char *t = r + item::root_ctime + 12 * which;
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
    return PyBytes_FromStringAndSize(lookup.name, strnlen(lookup.name, sizeof lookup.name));
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

PyObject *search_roots(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *obj;
    uint64_t min_id = BTRFS_FIRST_FREE_OBJECTID, max_id = BTRFS_LAST_FREE_OBJECTID;
    if (!PyArg_ParseTuple(args, "O|O&O&:roots", &obj, vk::to_u64, &min_id, vk::to_u64, &max_id))
        return nullptr;
    Path path;
    if (!path.set(obj))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    Search search;
    if (max_id - min_id < 8)
        search.size = small_buffer;
    if (!search.start(BTRFS_ROOT_TREE_OBJECTID, min_id, max_id, BTRFS_ROOT_ITEM_KEY,
                      BTRFS_ROOT_BACKREF_KEY))
        return nullptr;
    PyObject *list = PyList_New(0);
    if (list == nullptr)
        return nullptr;
    Root root;
    // The last directory looked up: snapshots are often made side by side.
    uint64_t last_parent = 0, last_dir = 0;
    PyObject *last_path = nullptr;
    bool going = true;
    while (going) {
        long count = search.next(fd.fd);
        if (count <= 0) {
            if (count < 0) {
                Py_CLEAR(list);
                ioctl_error(count, fd.fd, path.obj);
            }
            break;
        }
        const unsigned char *p = reinterpret_cast<const unsigned char *>(search.args->buf);
        Header h = {};
        for (long i = 0; i < count && list != nullptr; i++, p += header_size + h.len) {
            h = header_at(p);
            const unsigned char *data = p + header_size;
            if (h.type == BTRFS_ROOT_ITEM_KEY) {
                root.id = h.objectid;
                root.len = h.len < item::root_size ? h.len : item::root_size;
                memset(root.item, 0, sizeof root.item);
                vk::copy_bytes(reinterpret_cast<char *>(root.item),
                               reinterpret_cast<const char *>(data), root.len);
                continue;
            }
            if (h.type != BTRFS_ROOT_BACKREF_KEY || root.id != h.objectid ||
                h.len < item::ref_size || root.len < item::root_legacy_size)
                continue;
            uint64_t dir_id = le64_at(data + item::ref_dirid);
            size_t name_len = le16_at(data + item::ref_name_len);
            if (name_len > h.len - item::ref_size)
                continue;
            if (last_path == nullptr || last_parent != h.offset || last_dir != dir_id) {
                Py_XDECREF(last_path);
                last_parent = h.offset;
                last_dir = dir_id;
                last_path = dir_path(fd.fd, path, h.offset, dir_id);
                if (last_path == nullptr) {
                    Py_CLEAR(list);
                    break;
                }
            }
            if (last_path == Py_None)
                continue;
            PyObject *t =
                root_tuple(root, h.offset, dir_id, data + item::ref_size, name_len, last_path);
            if (t == nullptr || PyList_Append(list, t) < 0)
                Py_CLEAR(list);
            Py_XDECREF(t);
        }
        going = list != nullptr && search.past(h.objectid, h.type, h.offset);
    }
    Py_XDECREF(last_path);
    return list;
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
    if (!path.set(arg))
        return nullptr;
    Fd fd(open_path(path));
    if (fd.fd < 0)
        return nullptr;
    Search search;
    search.size = small_buffer;
    if (!search.start(BTRFS_ROOT_TREE_OBJECTID, BTRFS_ROOT_TREE_DIR_OBJECTID,
                      BTRFS_ROOT_TREE_DIR_OBJECTID, BTRFS_DIR_ITEM_KEY, BTRFS_DIR_ITEM_KEY))
        return nullptr;
    for (;;) {
        long count = search.next(fd.fd);
        if (count < 0)
            return ioctl_error(count, fd.fd, path.obj);
        if (count == 0)
            return PyLong_FromUnsignedLongLong(BTRFS_FS_TREE_OBJECTID);
        const unsigned char *p = reinterpret_cast<const unsigned char *>(search.args->buf);
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

// velkora._mounttable: the mount table from the kernel itself, through
// listmount(2) and statmount(2) (Linux 6.8+), for velkora.mountinfo.
//
// listmount() hands out one page of mount ids; statmount() one mount's
// record, in a buffer that grows while the kernel answers EOVERFLOW. Each
// system call runs without the interpreter lock. The buffers come from the
// interpreter's allocator (PyMem), so the module keeps no heap of its own.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/stat.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// The generic numbers, for C library headers that predate the calls.
#ifndef SYS_statmount
#define SYS_statmount 457
#endif
#ifndef SYS_listmount
#define SYS_listmount 458
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *obj)
{
    Py_INCREF(obj);
    return obj;
}
#endif

namespace {
// From the kernel's uapi <linux/mount.h> (6.8 and later), which older
// headers lack: the request both calls take, and statmount's answer.
struct mnt_id_req_v0 {
    uint32_t size;
    uint32_t spare;
    uint64_t mnt_id;
    uint64_t param;
};

// The request with a namespace (6.11 and later): mnt_ns_id picks it.
struct mnt_id_req_v1 {
    uint32_t size;
    uint32_t spare;
    uint64_t mnt_id;
    uint64_t param;
    uint64_t mnt_ns_id;
};

struct statmount_v1 {
    uint32_t size;
    uint32_t mnt_opts;
    uint64_t mask;
    uint32_t sb_dev_major;
    uint32_t sb_dev_minor;
    uint64_t sb_magic;
    uint32_t sb_flags;
    uint32_t fs_type;
    uint64_t mnt_id;
    uint64_t mnt_parent_id;
    uint32_t mnt_id_old;
    uint32_t mnt_parent_id_old;
    uint64_t mnt_attr;
    uint64_t mnt_propagation;
    uint64_t mnt_peer_group;
    uint64_t mnt_master;
    uint64_t propagate_from;
    uint32_t mnt_root;
    uint32_t mnt_point;
    uint64_t mnt_ns_id;
    uint32_t fs_subtype;
    uint32_t sb_source;
    uint32_t opt_num;
    uint32_t opt_array;
    uint32_t opt_sec_num;
    uint32_t opt_sec_array;
    uint64_t supported_mask;
    uint32_t mnt_uidmap_num;
    uint32_t mnt_uidmap;
    uint32_t mnt_gidmap_num;
    uint32_t mnt_gidmap;
    uint64_t spare2[43];
};
} // namespace

static_assert(sizeof(mnt_id_req_v0) == 24, "MNT_ID_REQ_SIZE_VER0 is 24");
static_assert(sizeof(mnt_id_req_v1) == 32, "MNT_ID_REQ_SIZE_VER1 is 32");
static_assert(offsetof(statmount_v1, mnt_root) == 104 && offsetof(statmount_v1, sb_source) == 124,
              "struct statmount differs from Linux's");
static_assert(sizeof(statmount_v1) == 512, "struct statmount is 512 bytes before its strings");

// The mask bits asked for, and the strings each brings.
static const uint64_t STATMOUNT_SB_BASIC = 0x1;
static const uint64_t STATMOUNT_MNT_BASIC = 0x2;
static const uint64_t STATMOUNT_PROPAGATE_FROM = 0x4;
static const uint64_t STATMOUNT_MNT_ROOT = 0x8;
static const uint64_t STATMOUNT_MNT_POINT = 0x10;
static const uint64_t STATMOUNT_FS_TYPE = 0x20;
static const uint64_t STATMOUNT_MNT_OPTS = 0x80;
static const uint64_t STATMOUNT_FS_SUBTYPE = 0x100;
static const uint64_t STATMOUNT_SB_SOURCE = 0x200;
static const uint64_t STATMOUNT_SUPPORTED_MASK = 0x1000;
// What every kernel with statmount(2) knows (6.8); asked for alone when a
// kernel refuses the newer bits.
static const uint64_t STATMOUNT_FIRST = STATMOUNT_SB_BASIC | STATMOUNT_MNT_BASIC |
                                        STATMOUNT_PROPAGATE_FROM | STATMOUNT_MNT_ROOT |
                                        STATMOUNT_MNT_POINT | STATMOUNT_FS_TYPE;
static const uint64_t STATMOUNT_ALL = STATMOUNT_FIRST | STATMOUNT_MNT_OPTS | STATMOUNT_FS_SUBTYPE |
                                      STATMOUNT_SB_SOURCE | STATMOUNT_SUPPORTED_MASK;
static const uint64_t LSMT_ROOT = 0xffffffffffffffffULL;

// Room for the fixed part and a typical mount's strings; doubled on EOVERFLOW.
static const Py_ssize_t FIRST_BUFFER = 4096;
static const Py_ssize_t LAST_BUFFER = Py_ssize_t{64} * 1024 * 1024;

// A 64-bit id: an int from 0 to 2**64-1, else OverflowError (never wrapped).
static int to_u64(PyObject *obj, void *out)
{
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "an int is required, not %.200s", Py_TYPE(obj)->tp_name);
        return 0;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return 0;
    *static_cast<uint64_t *>(out) = value;
    return 1;
}

// A path argument: str or bytes without NUL, as the C string it names.
static int to_path(PyObject *obj, void *out)
{
    PyObject *bytes = nullptr;
    if (obj == nullptr) { // the clean-up call of an O& converter
        Py_CLEAR(*static_cast<PyObject **>(out));
        return 1;
    }
    if (!PyUnicode_FSConverter(obj, static_cast<void *>(&bytes)))
        return 0;
    *static_cast<PyObject **>(out) = bytes;
    return Py_CLEANUP_SUPPORTED;
}

// A path argument as bytes (a new reference in *out), as to_path makes it,
// for a function that parses its arguments itself.
static bool encode_path(PyObject *obj, PyObject **out)
{
    *out = nullptr;
    return PyUnicode_FSConverter(obj, static_cast<void *>(out)) != 0;
}

PyDoc_STRVAR(
    mounttable_listmount_doc,
    "listmount(last_id: int = 0, count: int = 512, mnt_id: int = LSMT_ROOT) -> tuple[int, ...]\n\n"
    "One page of the unique ids of the mounts below mnt_id (by default all\n"
    "mounts the caller's root reaches), those after last_id, by id.\n\n"
    "Calls listmount(2). Raises OSError on failure.");

static PyObject *mounttable_listmount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"last_id", "count", "mnt_id", nullptr};
    uint64_t last_id = 0;
    Py_ssize_t count = 512;
    uint64_t mnt_id = LSMT_ROOT;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O&nO&:listmount", const_cast<char **>(kwlist),
                                     to_u64, &last_id, &count, to_u64, &mnt_id))
        return nullptr;
    if (count <= 0 || count > 1 << 20) {
        PyErr_SetString(PyExc_ValueError, "count must be from 1 to 1048576");
        return nullptr;
    }
    auto *ids =
        static_cast<uint64_t *>(PyMem_Malloc(static_cast<size_t>(count) * sizeof(uint64_t)));
    if (ids == nullptr)
        return PyErr_NoMemory();
    mnt_id_req_v0 req = {sizeof req, 0, mnt_id, last_id};
    long got;
    for (;;) {
        int saved_errno;
        Py_BEGIN_ALLOW_THREADS
            got = syscall(SYS_listmount, &req, ids, static_cast<size_t>(count), 0U);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (got >= 0)
            break;
        // Again after EINTR, unless a signal handler raised (PEP 475).
        if (saved_errno != EINTR || PyErr_CheckSignals() != 0) {
            PyMem_Free(ids);
            errno = saved_errno;
            return saved_errno == EINTR ? nullptr : PyErr_SetFromErrno(PyExc_OSError);
        }
    }
    PyObject *result = PyTuple_New(got);
    for (long i = 0; result != nullptr && i < got; i++) {
        PyObject *id = PyLong_FromUnsignedLongLong(ids[i]);
        if (id == nullptr)
            Py_CLEAR(result);
        else
            PyTuple_SET_ITEM(result, i, id);
    }
    PyMem_Free(ids);
    return result;
}

// The string at offset in the record's string area (which starts at area
// and holds room bytes), as bytes, if the kernel filled what brings it; else
// None.
static PyObject *record_text(const statmount_v1 *record, const char *area, Py_ssize_t room,
                             uint64_t bit, uint32_t offset)
{
    if ((record->mask & bit) == 0 || static_cast<Py_ssize_t>(offset) >= room)
        Py_RETURN_NONE;
    size_t length = strnlen(area + offset, static_cast<size_t>(room - offset));
    return PyBytes_FromStringAndSize(area + offset, static_cast<Py_ssize_t>(length));
}

static PyObject *record_dict(const statmount_v1 *r, Py_ssize_t used)
{
    const char *area = reinterpret_cast<const char *>(r + 1);
    Py_ssize_t room = used - static_cast<Py_ssize_t>(sizeof *r);
    unsigned long long supported =
        (r->mask & STATMOUNT_SUPPORTED_MASK) != 0 ? r->supported_mask : 0;
    return Py_BuildValue(
        "{sKsKsKsKsIsIsIsIsIsKsKsKsKsKsKsNsNsNsNsNsN}", "mask", r->mask, "mnt_id", r->mnt_id,
        "mnt_parent_id", r->mnt_parent_id, "sb_magic", r->sb_magic, "mnt_id_old", r->mnt_id_old,
        "mnt_parent_id_old", r->mnt_parent_id_old, "sb_dev_major", r->sb_dev_major, "sb_dev_minor",
        r->sb_dev_minor, "sb_flags", r->sb_flags, "mnt_attr", r->mnt_attr, "mnt_propagation",
        r->mnt_propagation, "mnt_peer_group", r->mnt_peer_group, "mnt_master", r->mnt_master,
        "propagate_from", r->propagate_from, "supported_mask", supported, "mnt_root",
        record_text(r, area, room, STATMOUNT_MNT_ROOT, r->mnt_root), "mnt_point",
        record_text(r, area, room, STATMOUNT_MNT_POINT, r->mnt_point), "fs_type",
        record_text(r, area, room, STATMOUNT_FS_TYPE, r->fs_type), "fs_subtype",
        record_text(r, area, room, STATMOUNT_FS_SUBTYPE, r->fs_subtype), "sb_source",
        record_text(r, area, room, STATMOUNT_SB_SOURCE, r->sb_source), "mnt_opts",
        record_text(r, area, room, STATMOUNT_MNT_OPTS, r->mnt_opts));
}

PyDoc_STRVAR(mounttable_statmount_doc,
             "statmount(mnt_id: int) -> dict[str, int | bytes | None]\n\n"
             "The kernel's record of the mount with this unique id: the numbers of\n"
             "struct statmount by their field names, and its strings as bytes (None\n"
             "where the kernel gave none; \"mask\" says what it filled, and\n"
             "\"supported_mask\" what it can fill, 0 where it does not say).\n\n"
             "Calls statmount(2), with a buffer that grows while the kernel answers\n"
             "EOVERFLOW. Raises OSError on failure (FileNotFoundError if the mount\n"
             "is gone).");

static PyObject *mounttable_statmount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"mnt_id", nullptr};
    uint64_t mnt_id;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:statmount", const_cast<char **>(kwlist),
                                     to_u64, &mnt_id))
        return nullptr;
    mnt_id_req_v0 req = {sizeof req, 0, mnt_id, STATMOUNT_ALL};
    for (Py_ssize_t size = FIRST_BUFFER; size <= LAST_BUFFER;) {
        // The interpreter's allocator: aligned for the struct, and no heap of our own.
        auto *record = static_cast<statmount_v1 *>(PyMem_Malloc(static_cast<size_t>(size)));
        if (record == nullptr)
            return PyErr_NoMemory();
        long ret;
        int saved_errno;
        Py_BEGIN_ALLOW_THREADS
            ret = syscall(SYS_statmount, &req, record, static_cast<size_t>(size), 0U);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (ret == 0) {
            Py_ssize_t filled = record->size;
            PyObject *result = record_dict(record, filled < size ? filled : size);
            PyMem_Free(record);
            return result;
        }
        PyMem_Free(record);
        if (saved_errno == EOVERFLOW) {
            size *= 2;
        } else if (saved_errno == EINTR) {
            if (PyErr_CheckSignals() != 0) // again, unless a signal handler raised
                return nullptr;
        } else if (saved_errno == EINVAL && req.param != STATMOUNT_FIRST) {
            req.param = STATMOUNT_FIRST; // a kernel older than the newer mask bits
        } else {
            errno = saved_errno;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
    }
    errno = EOVERFLOW;
    return PyErr_SetFromErrno(PyExc_OSError);
}

// The C library's, as <sys/mount.h> declares them (its MS_* macros would
// clash with the names this file gives the propagation bits).
extern "C" int mount(const char *source, const char *target, const char *fstype,
                     unsigned long flags, const void *data);
extern "C" int umount2(const char *target, int flags);

// ---- mount(2) and umount2(2) for the layers above velkora.mount, whose
// str-only arguments are its contract: here paths are what the os module
// takes (str through the filesystem encoding, bytes, os.PathLike), and a
// failure names the path.

PyDoc_STRVAR(mounttable_mount_doc,
             "mount(source, target, fstype: str = '', flags: int = 0, data: str = '') -> None\n\n"
             "Calls mount(2); source and target are paths (str, bytes or os.PathLike),\n"
             "fstype and data text. Raises OSError naming target on failure.");

static PyObject *mounttable_mount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"source", "target", "fstype", "flags", "data", nullptr};
    PyObject *source = nullptr;
    PyObject *target = nullptr;
    PyObject *target_obj;
    const char *fstype = "";
    unsigned long flags = 0;
    const char *data = "";
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O|sks:mount", const_cast<char **>(kwlist),
                                     to_path, &source, &target_obj, &fstype, &flags, &data))
        return nullptr;
    if (!encode_path(target_obj, &target)) {
        Py_DECREF(source);
        return nullptr;
    }
    int ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = mount(PyBytes_AS_STRING(source), PyBytes_AS_STRING(target), fstype, flags,
                    *data != '\0' ? data : nullptr);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    Py_DECREF(source);
    Py_DECREF(target);
    if (ret != 0) {
        errno = saved_errno;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target_obj);
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(mounttable_umount_doc,
             "umount(target, flags: int = 0) -> None\n\n"
             "Calls umount2(2); target is a path (str, bytes or os.PathLike).\n"
             "Raises OSError naming target on failure.");

static PyObject *mounttable_umount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"target", "flags", nullptr};
    PyObject *target_obj;
    PyObject *target = nullptr;
    int flags = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|i:umount", const_cast<char **>(kwlist),
                                     &target_obj, &flags))
        return nullptr;
    if (!encode_path(target_obj, &target))
        return nullptr;
    int ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = umount2(PyBytes_AS_STRING(target), flags);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    Py_DECREF(target);
    if (ret != 0) {
        errno = saved_errno;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target_obj);
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(mounttable_mount_id_doc,
             "mount_id(path, unique: bool = False) -> int | None\n\n"
             "The id of the mount that holds path now, as mountinfo numbers it (with\n"
             "unique, the 64-bit id statmount takes), or None where the kernel does not\n"
             "say (before 5.8, or 6.8 for the unique id). Needs no fd, so nothing can be\n"
             "left open. Calls statx(2). Raises OSError on failure.");

static PyObject *statx_mount_id(const char *path, PyObject *path_obj, bool unique);

static PyObject *mounttable_mount_id(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", "unique", nullptr};
    PyObject *path_obj;
    int unique = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:mount_id", const_cast<char **>(kwlist),
                                     &path_obj, &unique))
        return nullptr;
    PyObject *encoded;
    if (!encode_path(path_obj, &encoded))
        return nullptr;
    PyObject *result = statx_mount_id(PyBytes_AS_STRING(encoded), path_obj, unique != 0);
    Py_DECREF(encoded);
    return result;
}

// The mount id statx(2) gives for path (named by path_obj in an error).
static PyObject *statx_mount_id(const char *path, PyObject *path_obj, bool unique)
{
    struct statx st = {};
    unsigned int want = unique ? 0x4000U /* STATX_MNT_ID_UNIQUE, 6.8 */ : STATX_MNT_ID;
    for (;;) {
        long ret;
        int saved_errno;
        // By number: glibc's wrapper is newer than the oldest C library the wheels run on.
        Py_BEGIN_ALLOW_THREADS
            ret = syscall(__NR_statx, AT_FDCWD, path, AT_NO_AUTOMOUNT, want, &st);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (ret == 0)
            break;
        errno = saved_errno;
        if (saved_errno != EINTR)
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_obj);
        if (PyErr_CheckSignals() != 0)
            return nullptr;
    }
    // Some emulators (qemu-user 7.2) pass the mask on but not the id.
    if ((st.stx_mask & want) == 0 || st.stx_mnt_id == 0)
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(st.stx_mnt_id);
}

// ---------------------------------------------------------------------------
// Whole tables, built here: records of the caller's class (a tuple subclass
// of 11 fields, velkora.mountinfo.Mount), parents before children. The
// records come from statmount(2) or from a mountinfo text; either way each
// string field is decoded as file names are, the same text shared by the
// mounts that have it (most mounts share a type, source and options).

static const Py_ssize_t FIELDS = 11;

namespace {
// A record on its way into a table, with its id and its parent's as the
// route numbers them: the unique 64-bit ids where statmount gives them.
struct Row {
    uint64_t id;
    uint64_t parent;
    PyObject *record;
};

struct Table {
    Row *rows;
    Py_ssize_t count;
    Py_ssize_t room;
};

// The last text a field had and its str.
struct Recent {
    char text[120];
    size_t length;
    PyObject *str;
};

struct Key {
    uint64_t id;
    Py_ssize_t at;
};
} // namespace

static void table_clear(Table *table)
{
    for (Py_ssize_t i = 0; i < table->count; i++)
        Py_DECREF(table->rows[i].record);
    PyMem_Free(table->rows);
    *table = Table{};
}

// Takes the reference to record, which may be null (an error set).
static int table_add(Table *table, uint64_t id, uint64_t parent, PyObject *record)
{
    if (record == nullptr)
        return -1;
    if (table->count == table->room) {
        Py_ssize_t room = table->room < 64 ? 64 : table->room * 2;
        auto *rows =
            static_cast<Row *>(PyMem_Realloc(table->rows, static_cast<size_t>(room) * sizeof(Row)));
        if (rows == nullptr) {
            Py_DECREF(record);
            PyErr_NoMemory();
            return -1;
        }
        table->rows = rows;
        table->room = room;
    }
    table->rows[table->count++] = Row{id, parent, record};
    return 0;
}

// memmove, called where the compiler cannot see what the two pointers are:
// where it can tell they do not overlap it calls memcpy instead, whose
// current version (GLIBC_2.14) would narrow the wheels' platform tag.
#ifdef __clang__
__attribute__((noinline))
#else
__attribute__((noinline, noclone))
#endif
static void copy_bytes(char *to, const char *from, size_t n)
{
    memmove(to, from, n);
}

static void recent_clear(Recent *recent, size_t count)
{
    for (size_t i = 0; i < count; i++)
        Py_CLEAR(recent[i].str);
}

// A new reference to the str of these bytes, the last one's where the text
// is the same.
static PyObject *decoded(Recent *recent, const char *text, size_t length)
{
    if (recent->str != nullptr && recent->length == length &&
        memcmp(recent->text, text, length) == 0) {
        Py_INCREF(recent->str);
        return recent->str;
    }
    PyObject *str = PyUnicode_DecodeFSDefaultAndSize(text, static_cast<Py_ssize_t>(length));
    if (str != nullptr && length <= sizeof recent->text) {
        copy_bytes(recent->text, text, length);
        recent->length = length;
        Py_INCREF(str);
        Py_XSETREF(recent->str, str);
    }
    return str;
}

// A record of cls from its fields, whose references it takes (null where an
// error is set, and then nothing is made).
static PyObject *new_record(PyTypeObject *cls, PyObject *const *items)
{
    bool complete = true;
    for (Py_ssize_t i = 0; i < FIELDS; i++)
        complete = complete && items[i] != nullptr;
    PyObject *record = complete ? cls->tp_alloc(cls, FIELDS) : nullptr;
    if (record == nullptr) {
        for (Py_ssize_t i = 0; i < FIELDS; i++)
            Py_XDECREF(items[i]);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject *>(record)->ob_hash = -1; // not yet computed
#endif
    for (Py_ssize_t i = 0; i < FIELDS; i++)
        PyTuple_SET_ITEM(record, i, items[i]);
    // Its fields are ints, strs, None and a tuple of strs, which can take no
    // part in a reference cycle: the collector need not follow it (as it
    // would find for itself, after following it once per generation).
    if (PyTuple_CheckExact(items[FIELDS - 1]))
        PyObject_GC_UnTrack(items[FIELDS - 1]);
    PyObject_GC_UnTrack(record);
    return record;
}

static int key_order(const void *a, const void *b)
{
    const Key *x = static_cast<const Key *>(a);
    const Key *y = static_cast<const Key *>(b);
    if (x->id != y->id)
        return x->id < y->id ? -1 : 1;
    if (x->at != y->at)
        return x->at < y->at ? -1 : 1;
    return 0;
}

namespace {
// A table's rows as a tree, by index: each one's parent (-1 for a root),
// first child and next sibling (-1 for none), and the rows by id.
struct Tree {
    Key *keys;
    Py_ssize_t *parent;
    Py_ssize_t *first_child;
    Py_ssize_t *next_sibling;
};

// The list being filled in tree order.
struct Emitter {
    const Table *table;
    bool with_ids;
    PyObject *list;
    Py_ssize_t out;
    char *placed;
};
} // namespace

// The index of the first row with this id, or -1.
static Py_ssize_t find_row(const Key *keys, Py_ssize_t n, uint64_t id)
{
    Py_ssize_t low = 0;
    Py_ssize_t high = n;
    while (low < high) { // the first key not below id
        Py_ssize_t middle = low + ((high - low) / 2);
        if (keys[middle].id < id)
            low = middle + 1;
        else
            high = middle;
    }
    return low < n && keys[low].id == id ? keys[low].at : -1;
}

// The id mountinfo shows for a row (the record's first field), which orders
// siblings as findmnt draws them; the unique id where it is none.
static uint64_t shown_id(const Row &row)
{
    PyObject *id = PyTuple_GET_ITEM(row.record, 0);
    unsigned long long value = PyLong_Check(id) ? PyLong_AsUnsignedLongLong(id) : row.id;
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        value = row.id;
    }
    return value;
}

// Links the rows into a tree; by_shown (n keys) is scratch for the rows in
// the order of the ids mountinfo shows.
static void link_rows(const Table *table, Tree *tree, Key *by_shown)
{
    Py_ssize_t n = table->count;
    for (Py_ssize_t i = 0; i < n; i++) {
        tree->keys[i] = Key{table->rows[i].id, i};
        by_shown[i] = Key{shown_id(table->rows[i]), i};
        tree->first_child[i] = tree->next_sibling[i] = -1;
    }
    qsort(tree->keys, static_cast<size_t>(n), sizeof(Key), key_order);
    qsort(by_shown, static_cast<size_t>(n), sizeof(Key), key_order);
    for (Py_ssize_t i = 0; i < n; i++) {
        const Row &row = table->rows[i];
        tree->parent[i] = row.parent == row.id ? -1 : find_row(tree->keys, n, row.parent);
    }
    for (Py_ssize_t k = n - 1; k >= 0; k--) { // from the highest id: siblings by id
        Py_ssize_t i = by_shown[k].at;
        Py_ssize_t up = tree->parent[i];
        if (up >= 0) {
            tree->next_sibling[i] = tree->first_child[up];
            tree->first_child[up] = i;
        }
    }
}

static int emit(Emitter *e, Py_ssize_t i)
{
    e->placed[i] = 1;
    const Row &row = e->table->rows[i];
    PyObject *item;
    if (e->with_ids) {
        item = Py_BuildValue("(KO)", static_cast<unsigned long long>(row.id), row.record);
    } else {
        Py_INCREF(row.record);
        item = row.record;
    }
    if (item == nullptr)
        return -1;
    PyList_SET_ITEM(e->list, e->out++, item);
    return 0;
}

// The subtree below root, depth first and without a stack: down to the
// first child, else on to the next sibling of the nearest ancestor that has one.
static int emit_subtree(Emitter *e, const Tree *tree, Py_ssize_t root)
{
    Py_ssize_t at = root;
    if (emit(e, at) < 0)
        return -1;
    for (;;) {
        if (tree->first_child[at] >= 0) {
            at = tree->first_child[at];
        } else {
            while (at != root && tree->next_sibling[at] < 0)
                at = tree->parent[at];
            if (at == root)
                return 0;
            at = tree->next_sibling[at];
        }
        if (emit(e, at) < 0)
            return -1;
    }
}

// The table's records as a list, parents before children and siblings by
// the id mountinfo shows, as findmnt orders them. A mount whose parent is
// itself or not in the table is a root. None is dropped: the records no root
// reaches (a loop of parents, which only a torn read of reused ids can make)
// come last, by id. With with_ids, each item is (id, record).
static PyObject *tree_order(const Table *table, bool with_ids)
{
    Py_ssize_t n = table->count;
    size_t count = static_cast<size_t>(n) + 1;
    auto *keys = static_cast<Key *>(PyMem_Malloc(2 * count * sizeof(Key)));
    auto *links = static_cast<Py_ssize_t *>(PyMem_Malloc(3 * count * sizeof(Py_ssize_t)));
    auto *placed = static_cast<char *>(PyMem_Calloc(count, 1));
    PyObject *list = PyList_New(n);
    int failed = keys == nullptr || links == nullptr || placed == nullptr || list == nullptr;
    if (failed && list != nullptr)
        PyErr_NoMemory();
    if (!failed) {
        Tree tree = {keys, links, links + count, links + (2 * count)};
        link_rows(table, &tree, keys + count);
        Emitter e = {table, with_ids, list, 0, placed};
        for (Py_ssize_t root = 0; root < n && !failed; root++) {
            if (tree.parent[root] < 0)
                failed = emit_subtree(&e, &tree, root) < 0;
        }
        for (Py_ssize_t k = 0; k < n && !failed; k++) {
            if (!placed[keys[k].at])
                failed = emit(&e, keys[k].at) < 0;
        }
    }
    PyMem_Free(keys);
    PyMem_Free(links);
    PyMem_Free(placed);
    if (failed) {
        // The items not yet set are null, which a list may hold while it is freed.
        Py_XDECREF(list);
        return nullptr;
    }
    return list;
}

// Whether a mount point (length bytes) is below, or is, the path below
// (below_length bytes, without a trailing slash: 0 for "/"); every mount
// point is where below is null.
static bool within(const char *point, size_t length, const char *below, size_t below_length)
{
    if (below == nullptr || below_length == 0)
        return true;
    if (length < below_length || memcmp(point, below, below_length) != 0)
        return false;
    return length == below_length || point[below_length] == '/';
}

// The path a below= argument names, for within(): its bytes less trailing slashes.
static const char *below_path(PyObject *below, size_t *length)
{
    if (below == nullptr) {
        *length = 0;
        return nullptr;
    }
    const char *path = PyBytes_AS_STRING(below);
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(below));
    while (n > 0 && path[n - 1] == '/')
        n--;
    *length = n;
    return path;
}

// ---- statmount's records

// Whether the kernel gave the string that mask bit brings, and its length.
static bool statmount_text(const statmount_v1 *r, const char *area, Py_ssize_t room, uint64_t bit,
                           uint32_t offset, size_t *length)
{
    *length = 0;
    if ((r->mask & bit) == 0 || static_cast<Py_ssize_t>(offset) >= room)
        return false;
    *length = strnlen(area + offset, static_cast<size_t>(room - offset));
    return true;
}

// Appends word to the text at out (at most size bytes), after a comma if the
// text is not empty.
static void add_word(char *out, size_t size, size_t *used, const char *word, size_t length)
{
    if (*used != 0 && *used < size)
        out[(*used)++] = ',';
    size_t take = length < size - *used ? length : size - *used;
    copy_bytes(out + *used, word, take);
    *used += take;
}

static const uint64_t MOUNT_ATTR_RDONLY = 0x1;
static const uint64_t MOUNT_ATTR_ATIME_MASK = 0x70;
static const uint64_t MOUNT_ATTR_NOATIME = 0x10;
static const uint64_t MOUNT_ATTR_RELATIME = 0;

// The per-mount options, in the order mountinfo writes them; a bit of 0 is
// one of the access-time modes.
static const struct {
    uint64_t bit;
    const char *word;
} mount_words[] = {
    {0x2, "nosuid"},      {0x4, "nodev"},  {0x8, "noexec"},           {0, "noatime"},
    {0x80, "nodiratime"}, {0, "relatime"}, {0x200000, "nosymfollow"}, {0x100000, "idmapped"},
};

static const struct {
    uint32_t bit;
    const char *word;
} super_words[] = {{0x10, "sync"}, {0x80, "dirsync"}, {0x40, "mand"}, {1U << 25, "lazytime"}};

static const uint32_t SB_RDONLY = 0x1;
static const uint64_t MS_UNBINDABLE = 1 << 17;
static const uint64_t MS_SLAVE = 1 << 19;
static const uint64_t MS_SHARED = 1 << 20;

// The string field for a mask bit: its text; "" where the kernel gave none
// but says it could have (an empty text is left out of the mask); else None.
static PyObject *string_field(Recent *recent, const statmount_v1 *r, const char *area,
                              Py_ssize_t room, uint64_t bit, uint32_t offset, bool may_be_empty)
{
    size_t length;
    if (statmount_text(r, area, room, bit, offset, &length))
        return decoded(recent, area + offset, length);
    uint64_t supported = (r->mask & STATMOUNT_SUPPORTED_MASK) != 0 ? r->supported_mask : 0;
    if (may_be_empty && (supported & bit) != 0)
        return decoded(recent, "", 0);
    Py_RETURN_NONE;
}

enum : uint8_t { R_ROOT, R_TYPE, R_SOURCE, R_OPTIONS, R_SUPER, R_TAGS };

// The type, with its subtype after a dot as mountinfo shows it.
static PyObject *type_field(Recent *recent, const statmount_v1 *r, const char *area,
                            Py_ssize_t room)
{
    size_t type_length;
    size_t subtype_length;
    if (!statmount_text(r, area, room, STATMOUNT_FS_TYPE, r->fs_type, &type_length))
        Py_RETURN_NONE;
    char text[512];
    size_t n = 0;
    add_word(text, sizeof text, &n, area + r->fs_type, type_length);
    if (statmount_text(r, area, room, STATMOUNT_FS_SUBTYPE, r->fs_subtype, &subtype_length) &&
        subtype_length != 0 && n < sizeof text) {
        text[n++] = '.';
        size_t take = subtype_length < sizeof text - n ? subtype_length : sizeof text - n;
        copy_bytes(text + n, area + r->fs_subtype, take);
        n += take;
    }
    return decoded(recent, text, n);
}

// The mount's options, as mountinfo writes them.
static PyObject *options_field(Recent *recent, uint64_t attr)
{
    char text[256];
    size_t n = 0;
    add_word(text, sizeof text, &n, (attr & MOUNT_ATTR_RDONLY) != 0 ? "ro" : "rw", 2);
    uint64_t atime = attr & MOUNT_ATTR_ATIME_MASK;
    for (const auto &w : mount_words) {
        bool shown = w.bit != 0
                         ? (attr & w.bit) != 0
                         : atime == (w.word[2] == 'a' ? MOUNT_ATTR_NOATIME : MOUNT_ATTR_RELATIME);
        if (shown)
            add_word(text, sizeof text, &n, w.word, strlen(w.word));
    }
    return decoded(recent, text, n);
}

// The superblock's options: read-only or not and its flags, then its own
// options as the filesystem writes them (escapes and all).
static PyObject *super_field(Recent *recent, const statmount_v1 *r, const char *area,
                             Py_ssize_t room)
{
    size_t length;
    bool given = statmount_text(r, area, room, STATMOUNT_MNT_OPTS, r->mnt_opts, &length);
    if (!given && ((r->mask & STATMOUNT_SUPPORTED_MASK) == 0 ||
                   (r->supported_mask & STATMOUNT_MNT_OPTS) == 0))
        Py_RETURN_NONE;
    // They can be long (an overlay's layers): a buffer of their own.
    size_t size = 64 + length;
    auto *text = static_cast<char *>(PyMem_Malloc(size));
    if (text == nullptr)
        return PyErr_NoMemory();
    size_t n = 0;
    add_word(text, size, &n, (r->sb_flags & SB_RDONLY) != 0 ? "ro" : "rw", 2);
    for (const auto &w : super_words) {
        if ((r->sb_flags & w.bit) != 0)
            add_word(text, size, &n, w.word, strlen(w.word));
    }
    if (length != 0)
        add_word(text, size, &n, area + r->mnt_opts, length);
    PyObject *result = decoded(recent, text, n);
    PyMem_Free(text);
    return result;
}

// A tuple of count strs from texts (lengths bytes each), untracked.
static PyObject *words_tuple(const char *const *texts, const size_t *lengths, Py_ssize_t count)
{
    PyObject *tuple = PyTuple_New(count);
    for (Py_ssize_t i = 0; tuple != nullptr && i < count; i++) {
        PyObject *word =
            PyUnicode_DecodeFSDefaultAndSize(texts[i], static_cast<Py_ssize_t>(lengths[i]));
        if (word == nullptr)
            Py_CLEAR(tuple);
        else
            PyTuple_SET_ITEM(tuple, i, word);
    }
    return tuple;
}

// Propagation, as mountinfo's optional fields.
static PyObject *propagation_field(const statmount_v1 *r)
{
    char words[4][48];
    const char *texts[4];
    size_t lengths[4];
    Py_ssize_t count = 0;
    auto add = [&](const char *format, uint64_t value) {
        int n =
            snprintf(words[count], sizeof words[0], format, static_cast<unsigned long long>(value));
        texts[count] = words[count];
        lengths[count++] = n > 0 ? static_cast<size_t>(n) : 0;
    };
    if ((r->mnt_propagation & MS_SHARED) != 0)
        add("shared:%llu", r->mnt_peer_group);
    if ((r->mnt_propagation & MS_SLAVE) != 0) {
        add("master:%llu", r->mnt_master);
        if (r->propagate_from != 0 && r->propagate_from != r->mnt_master)
            add("propagate_from:%llu", r->propagate_from);
    }
    if ((r->mnt_propagation & MS_UNBINDABLE) != 0) {
        texts[count] = "unbindable";
        lengths[count++] = strlen("unbindable");
    }
    return words_tuple(texts, lengths, count);
}

// A record of cls from statmount's answer (used bytes of it); None for a
// mount outside the caller's root, which the kernel gives without a mount
// point and mountinfo leaves out, and for one not below the path below.
static PyObject *statmount_record(PyTypeObject *cls, const statmount_v1 *r, Py_ssize_t used,
                                  Recent *recent, const char *below = nullptr,
                                  size_t below_length = 0)
{
    const char *area = reinterpret_cast<const char *>(r + 1);
    Py_ssize_t room = used - static_cast<Py_ssize_t>(sizeof *r);
    size_t point_length;
    if (!statmount_text(r, area, room, STATMOUNT_MNT_POINT, r->mnt_point, &point_length) ||
        !within(area + r->mnt_point, point_length, below, below_length))
        Py_RETURN_NONE;
    PyObject *items[FIELDS] = {
        PyLong_FromUnsignedLong(r->mnt_id_old),
        PyLong_FromUnsignedLong(r->mnt_parent_id_old),
        PyLong_FromUnsignedLong(r->sb_dev_major),
        PyLong_FromUnsignedLong(r->sb_dev_minor),
        string_field(&recent[R_ROOT], r, area, room, STATMOUNT_MNT_ROOT, r->mnt_root, false),
        PyUnicode_DecodeFSDefaultAndSize(area + r->mnt_point,
                                         static_cast<Py_ssize_t>(point_length)),
        type_field(&recent[R_TYPE], r, area, room),
        string_field(&recent[R_SOURCE], r, area, room, STATMOUNT_SB_SOURCE, r->sb_source, true),
        options_field(&recent[R_OPTIONS], r->mnt_attr),
        super_field(&recent[R_SUPER], r, area, room),
        propagation_field(r),
    };
    return new_record(cls, items);
}

namespace {
// statmount's answer for one mount at a time, in one buffer that grows.
struct Answer {
    statmount_v1 *record;
    Py_ssize_t size;
    uint64_t mask;
};
} // namespace

// statmount() of unique_id into answer: 1 when answered, 0 when the mount is
// gone, -1 with an error set.
static int ask_statmount(Answer *answer, uint64_t unique_id, uint64_t ns_id)
{
    if (answer->record == nullptr) {
        answer->size = FIRST_BUFFER;
        answer->mask = STATMOUNT_ALL;
        answer->record = static_cast<statmount_v1 *>(PyMem_Malloc(FIRST_BUFFER));
        if (answer->record == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    for (;;) {
        mnt_id_req_v1 req = {sizeof req, 0, unique_id, answer->mask, ns_id};
        size_t req_size = ns_id != 0 ? sizeof req : sizeof(mnt_id_req_v0);
        req.size = static_cast<uint32_t>(req_size);
        long ret;
        int saved_errno;
        Py_BEGIN_ALLOW_THREADS
            ret =
                syscall(SYS_statmount, &req, answer->record, static_cast<size_t>(answer->size), 0U);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (ret == 0)
            return 1;
        if (saved_errno == ENOENT)
            return 0;
        if (saved_errno == EOVERFLOW && answer->size < LAST_BUFFER) {
            PyMem_Free(answer->record);
            answer->size *= 2;
            answer->record =
                static_cast<statmount_v1 *>(PyMem_Malloc(static_cast<size_t>(answer->size)));
            if (answer->record == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        } else if (saved_errno == EINTR) {
            if (PyErr_CheckSignals() != 0)
                return -1;
        } else if (saved_errno == EINVAL && answer->mask != STATMOUNT_FIRST) {
            answer->mask = STATMOUNT_FIRST;
        } else {
            errno = saved_errno;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
    }
}

static Py_ssize_t answer_used(const Answer *answer)
{
    Py_ssize_t filled = answer->record->size;
    return filled < answer->size ? filled : answer->size;
}

static int record_type(PyObject *cls)
{
    if (!PyType_Check(cls) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "cls must be a tuple subclass");
        return 0;
    }
    return 1;
}

PyDoc_STRVAR(
    mounttable_table_doc,
    "table(cls: type, ns_id: int = 0, with_ids: bool = False, below: str | None = None) -> list\n\n"
    "Every mount of a mount namespace (ns_id, 0 for the caller's) that the\n"
    "caller's root reaches, as records of cls (a tuple subclass of 11 fields),\n"
    "parents before children; with with_ids, (unique id, record) pairs; with\n"
    "below, only the mounts at or below that path.\n\n"
    "Calls listmount(2) and statmount(2). Raises OSError on failure.");

static PyObject *table_of(PyObject *cls, uint64_t ns_id, bool with_ids, PyObject *below);

static PyObject *mounttable_table(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "ns_id", "with_ids", "below", nullptr};
    PyObject *cls;
    uint64_t ns_id = 0;
    int with_ids = 0;
    PyObject *below = nullptr;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O&pO&:table", const_cast<char **>(kwlist),
                                     &cls, to_u64, &ns_id, &with_ids, to_path, &below))
        return nullptr;
    PyObject *result = record_type(cls) ? table_of(cls, ns_id, with_ids != 0, below) : nullptr;
    Py_XDECREF(below);
    return result;
}

// Every unique mount id of a namespace that the caller's root reaches, page
// by page, into a PyMem array; -1 with an error set.
static Py_ssize_t list_ids(uint64_t ns_id, uint64_t **out)
{
    Py_ssize_t room = 1024;
    Py_ssize_t have = 0;
    auto *ids = static_cast<uint64_t *>(PyMem_Malloc(static_cast<size_t>(room) * sizeof(uint64_t)));
    while (ids != nullptr) {
        mnt_id_req_v1 req = {0, 0, LSMT_ROOT, have != 0 ? ids[have - 1] : 0, ns_id};
        req.size = static_cast<uint32_t>(ns_id != 0 ? sizeof req : sizeof(mnt_id_req_v0));
        long got;
        int saved_errno;
        Py_BEGIN_ALLOW_THREADS
            got = syscall(SYS_listmount, &req, ids + have, static_cast<size_t>(room - have), 0U);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (got < 0) {
            if (saved_errno == EINTR && PyErr_CheckSignals() == 0)
                continue;
            PyMem_Free(ids);
            errno = saved_errno;
            if (saved_errno != EINTR)
                PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        have += got;
        if (have < room) {
            *out = ids;
            return have;
        }
        room *= 2;
        auto *more = static_cast<uint64_t *>(
            PyMem_Realloc(ids, static_cast<size_t>(room) * sizeof(uint64_t)));
        if (more == nullptr)
            PyMem_Free(ids);
        ids = more;
    }
    PyErr_NoMemory();
    return -1;
}

static PyObject *table_of(PyObject *cls, uint64_t ns_id, bool with_ids, PyObject *below)
{
    size_t below_length;
    const char *below_text = below_path(below, &below_length);
    uint64_t *ids = nullptr;
    Py_ssize_t have = list_ids(ns_id, &ids);
    if (have < 0)
        return nullptr;
    Table table = {};
    Answer answer = {};
    Recent recent[R_TAGS] = {};
    PyObject *result = nullptr;
    int failed = 0;
    for (Py_ssize_t i = 0; i < have && !failed; i++) {
        int got = ask_statmount(&answer, ids[i], ns_id);
        if (got <= 0) {
            failed = got < 0;
            continue; // unmounted since it was listed
        }
        PyObject *record = statmount_record(reinterpret_cast<PyTypeObject *>(cls), answer.record,
                                            answer_used(&answer), recent, below_text, below_length);
        if (record == Py_None) {
            Py_DECREF(record);
            continue;
        }
        failed = table_add(&table, answer.record->mnt_id, answer.record->mnt_parent_id, record) < 0;
    }
    if (!failed)
        result = tree_order(&table, with_ids);
    recent_clear(recent, R_TAGS);
    table_clear(&table);
    PyMem_Free(answer.record);
    PyMem_Free(ids);
    return result;
}

PyDoc_STRVAR(mounttable_record_doc,
             "record(cls: type, mnt_id: int, ns_id: int = 0) -> tuple | None\n\n"
             "The mount with this unique id as a record of cls, or None where it lies\n"
             "outside the caller's root.\n\n"
             "Calls statmount(2). Raises OSError on failure (FileNotFoundError if the\n"
             "mount is gone).");

static PyObject *mounttable_record(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "mnt_id", "ns_id", nullptr};
    PyObject *cls;
    uint64_t mnt_id;
    uint64_t ns_id = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO&|O&:record", const_cast<char **>(kwlist),
                                     &cls, to_u64, &mnt_id, to_u64, &ns_id) ||
        !record_type(cls))
        return nullptr;
    Answer answer = {};
    Recent recent[R_TAGS] = {};
    PyObject *result = nullptr;
    int got = ask_statmount(&answer, mnt_id, ns_id);
    if (got == 0) {
        errno = ENOENT;
        PyErr_SetFromErrno(PyExc_OSError);
    } else if (got > 0) {
        result = statmount_record(reinterpret_cast<PyTypeObject *>(cls), answer.record,
                                  answer_used(&answer), recent);
    }
    recent_clear(recent, R_TAGS);
    PyMem_Free(answer.record);
    return result;
}

// ---- mountinfo's records

// The next field: the bytes up to the next space or the line's end.
static bool next_field(const char **at, const char *end, const char **field, size_t *length)
{
    const char *p = *at;
    if (p > end)
        return false;
    const char *space = static_cast<const char *>(memchr(p, ' ', static_cast<size_t>(end - p)));
    const char *stop = space != nullptr ? space : end;
    *field = p;
    *length = static_cast<size_t>(stop - p);
    *at = stop + 1;
    return true;
}

// A decimal number of the whole field; false if it is none.
static bool number(const char *text, size_t length, uint64_t *out)
{
    uint64_t value = 0;
    if (length == 0 || length > 19)
        return false;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = (value * 10) + static_cast<uint64_t>(text[i] - '0');
    }
    *out = value;
    return true;
}

static bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// mountinfo writes space, tab, newline and backslash in names as three-digit
// octal escapes: the bytes again, in out (room for length bytes).
static size_t unescape(const char *text, size_t length, char *out)
{
    size_t n = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '\\' && i + 3 < length && is_octal(text[i + 1]) && is_octal(text[i + 2]) &&
            is_octal(text[i + 3])) {
            out[n++] = static_cast<char>(
                ((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3 | (text[i + 3] - '0')) & 0xFF);
            i += 3;
        } else {
            out[n++] = text[i];
        }
    }
    return n;
}

namespace {
// A mountinfo line's fields: id, parent, device, root, mount point and
// options (f); the optional fields; type, source and superblock options (g).
struct Line {
    const char *f[6];
    size_t n[6];
    const char *tags;
    Py_ssize_t tag_count;
    const char *g[3];
    size_t m[3];
    uint64_t id;
    uint64_t parent;
    uint64_t major;
    uint64_t minor;
};
} // namespace

// The fields of the line from line to end; false if it is not in mountinfo's format.
static bool split_line(const char *line, const char *end, Line *out)
{
    const char *at = line;
    bool ok = true;
    for (int i = 0; i < 6 && ok; i++)
        ok = next_field(&at, end, &out->f[i], &out->n[i]);
    // The optional fields, up to the "-" at the sixth field or later.
    out->tags = at;
    out->tag_count = 0;
    const char *tag;
    size_t tag_length = 0;
    bool dash = false;
    while (ok && !dash && next_field(&at, end, &tag, &tag_length)) {
        dash = tag_length == 1 && tag[0] == '-';
        out->tag_count += dash ? 0 : 1;
    }
    ok = ok && dash;
    for (int i = 0; i < 3 && ok; i++)
        ok = next_field(&at, end, &out->g[i], &out->m[i]);
    if (!ok)
        return false;
    const char *device = out->f[2];
    const auto *colon = static_cast<const char *>(memchr(device, ':', out->n[2]));
    return colon != nullptr && number(out->f[0], out->n[0], &out->id) &&
           number(out->f[1], out->n[1], &out->parent) &&
           number(device, static_cast<size_t>(colon - device), &out->major) &&
           number(colon + 1, out->n[2] - static_cast<size_t>(colon + 1 - device), &out->minor);
}

// The optional fields as a tuple of strs.
static PyObject *tags_tuple(const char *at, const char *end, Py_ssize_t count)
{
    PyObject *tuple = PyTuple_New(count);
    for (Py_ssize_t i = 0; tuple != nullptr && i < count; i++) {
        const char *tag = nullptr;
        size_t length = 0;
        next_field(&at, end, &tag, &length);
        PyObject *word = PyUnicode_DecodeFSDefaultAndSize(tag, static_cast<Py_ssize_t>(length));
        if (word == nullptr)
            Py_CLEAR(tuple);
        else
            PyTuple_SET_ITEM(tuple, i, word);
    }
    return tuple;
}

// A name field's bytes: the text itself, or where it has escapes, the bytes
// again in scratch (which untouched costs no memory).
static const char *name_bytes(const char *text, size_t length, char *scratch, size_t *out)
{
    if (memchr(text, '\\', length) == nullptr) {
        *out = length;
        return text;
    }
    *out = unescape(text, length, scratch);
    return scratch;
}

static PyObject *name_field(Recent *recent, const char *text, size_t length, char *scratch)
{
    size_t n;
    const char *bytes = name_bytes(text, length, scratch, &n);
    return decoded(recent, bytes, n);
}

// A record of cls from a line's fields and its mount point's bytes (point,
// which may be in scratch: decoded before scratch is used again).
static PyObject *line_record(PyTypeObject *cls, const Line *l, const char *end, char *scratch,
                             const char *point, size_t point_length, Recent *recent)
{
    PyObject *point_str =
        PyUnicode_DecodeFSDefaultAndSize(point, static_cast<Py_ssize_t>(point_length));
    PyObject *items[FIELDS] = {
        PyLong_FromUnsignedLongLong(l->id),
        PyLong_FromUnsignedLongLong(l->parent),
        PyLong_FromUnsignedLongLong(l->major),
        PyLong_FromUnsignedLongLong(l->minor),
        name_field(&recent[R_ROOT], l->f[3], l->n[3], scratch),
        point_str,
        name_field(&recent[R_TYPE], l->g[0], l->m[0], scratch),
        name_field(&recent[R_SOURCE], l->g[1], l->m[1], scratch),
        name_field(&recent[R_OPTIONS], l->f[5], l->n[5], scratch),
        decoded(&recent[R_SUPER], l->g[2], l->m[2]),
        tags_tuple(l->tags, end, l->tag_count),
    };
    return new_record(cls, items);
}

// The records of a mountinfo text, into table (with below, only those at
// or below that path); -1 with ValueError for a line that is not in
// mountinfo's format. Each name is unescaped; the superblock's options keep
// the filesystem's own escapes, as statmount gives them.
static int parse_lines(PyTypeObject *cls, const char *data, size_t size, Table *table,
                       PyObject *below = nullptr)
{
    size_t below_length;
    const char *below_text = below_path(below, &below_length);
    Recent recent[R_TAGS] = {};
    auto *scratch = static_cast<char *>(PyMem_Malloc(size + 1));
    if (scratch == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    int failed = 0;
    const char *data_end = data + size;
    for (const char *line = data, *end; line < data_end && !failed; line = end + 1) {
        const auto *newline =
            static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(data_end - line)));
        end = newline != nullptr ? newline : data_end;
        Line l;
        if (end == line)
            continue;
        if (!split_line(line, end, &l)) {
            PyObject *text = PyBytes_FromStringAndSize(line, end - line);
            if (text != nullptr) {
                PyErr_Format(PyExc_ValueError, "not a mountinfo line: %R", text);
                Py_DECREF(text);
            }
            failed = 1;
            break;
        }
        size_t point_length;
        const char *point = name_bytes(l.f[4], l.n[4], scratch, &point_length);
        if (within(point, point_length, below_text, below_length))
            failed = table_add(table, l.id, l.parent,
                               line_record(cls, &l, end, scratch, point, point_length, recent)) < 0;
    }
    recent_clear(recent, R_TAGS);
    PyMem_Free(scratch);
    return failed ? -1 : 0;
}

PyDoc_STRVAR(mounttable_parse_doc,
             "parse(cls: type, data: bytes, ordered: bool = True) -> list\n\n"
             "The records of a mountinfo text as records of cls (a tuple subclass of 11\n"
             "fields): parents before children, or with ordered=False in the text's\n"
             "own order. Raises ValueError for a line not in mountinfo's format.");

static PyObject *mounttable_parse(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "data", "ordered", nullptr};
    PyObject *cls;
    Py_buffer data;
    int ordered = 1;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oy*|p:parse", const_cast<char **>(kwlist), &cls,
                                     &data, &ordered))
        return nullptr;
    Table table = {};
    PyObject *result = nullptr;
    if (record_type(cls) &&
        parse_lines(reinterpret_cast<PyTypeObject *>(cls), static_cast<const char *>(data.buf),
                    static_cast<size_t>(data.len), &table) == 0) {
        if (ordered) {
            result = tree_order(&table, false);
        } else {
            result = PyList_New(table.count);
            for (Py_ssize_t i = 0; result != nullptr && i < table.count; i++)
                PyList_SET_ITEM(result, i, Py_NewRef(table.rows[i].record));
        }
    }
    table_clear(&table);
    PyBuffer_Release(&data);
    return result;
}

// The whole of a /proc file, which can only be read from its start and
// whose size stat does not give; into a PyMem buffer.
static char *read_whole(const char *path, PyObject *name, size_t *size)
{
    int fd;
    int saved_errno;
    do {
        Py_BEGIN_ALLOW_THREADS
            fd = open(path, O_RDONLY | O_CLOEXEC);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
    } while (fd < 0 && saved_errno == EINTR && PyErr_CheckSignals() == 0);
    if (fd < 0) {
        errno = saved_errno;
        if (saved_errno != EINTR)
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
        return nullptr;
    }
    size_t room = size_t{64} * 1024;
    size_t used = 0;
    char *buffer = static_cast<char *>(PyMem_Malloc(room));
    while (buffer != nullptr) {
        if (used == room) {
            room *= 2;
            char *more = static_cast<char *>(PyMem_Realloc(buffer, room));
            if (more == nullptr) {
                PyMem_Free(buffer);
                buffer = nullptr;
                break;
            }
            buffer = more;
        }
        ssize_t got;
        Py_BEGIN_ALLOW_THREADS
            got = read(fd, buffer + used, room - used);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (got > 0) {
            used += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (saved_errno != EINTR || PyErr_CheckSignals() != 0) {
            PyMem_Free(buffer);
            buffer = nullptr;
            errno = saved_errno;
            if (saved_errno != EINTR)
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
            close(fd);
            return nullptr;
        }
    }
    close(fd);
    if (buffer == nullptr)
        PyErr_NoMemory();
    *size = used;
    return buffer;
}

PyDoc_STRVAR(
    mounttable_read_doc,
    "read(cls: type, path: str = '/proc/self/mountinfo', below: str | None = None) -> list\n\n"
    "The records of a mountinfo file as records of cls, parents before\n"
    "children; with below, only the mounts at or below that path. Raises OSError on failure, "
    "ValueError for a line not in\n"
    "mountinfo's format.");

static PyObject *mounttable_read(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "path", "below", nullptr};
    PyObject *cls;
    PyObject *path = nullptr;
    PyObject *below = nullptr;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O&O&:read", const_cast<char **>(kwlist), &cls,
                                     to_path, &path, to_path, &below))
        return nullptr;
    PyObject *result = nullptr;
    size_t size = 0;
    const char *name = path != nullptr ? PyBytes_AS_STRING(path) : "/proc/self/mountinfo";
    if (record_type(cls)) {
        PyObject *shown = path != nullptr ? Py_NewRef(path) : PyUnicode_FromString(name);
        char *data = shown != nullptr ? read_whole(name, shown, &size) : nullptr;
        Py_XDECREF(shown);
        if (data != nullptr) {
            Table table = {};
            if (parse_lines(reinterpret_cast<PyTypeObject *>(cls), data, size, &table, below) == 0)
                result = tree_order(&table, false);
            table_clear(&table);
            PyMem_Free(data);
        }
    }
    Py_XDECREF(path);
    Py_XDECREF(below);
    return result;
}

// ---------------------------------------------------------------------------
// Another process's namespace, and fanotify's mount events.

// NS_GET_MNTNS_ID from <linux/nsfs.h> (6.11 and later): _IOR(0xb7, 5, __u64).
static const unsigned long NS_GET_MNTNS_ID = 0x8008b705UL;

PyDoc_STRVAR(mounttable_mntns_id_doc,
             "mntns_id(path: str) -> int\n\n"
             "The id of the mount namespace that the nsfs file at path (such as\n"
             "/proc/PID/ns/mnt) stands for, as listmount(2) and statmount(2) take it.\n\n"
             "Calls ioctl(NS_GET_MNTNS_ID). Raises OSError on failure.");

static PyObject *mounttable_mntns_id(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", nullptr};
    PyObject *path = nullptr;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&:mntns_id", const_cast<char **>(kwlist),
                                     to_path, &path))
        return nullptr;
    int fd;
    int ret = -1;
    int saved_errno;
    uint64_t id = 0;
    Py_BEGIN_ALLOW_THREADS
        fd = open(PyBytes_AS_STRING(path), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ret = ioctl(fd, NS_GET_MNTNS_ID, &id);
            saved_errno = errno;
            close(fd);
        } else {
            saved_errno = errno;
        }
    Py_END_ALLOW_THREADS
    PyObject *result = nullptr;
    if (ret == 0) {
        result = PyLong_FromUnsignedLongLong(id);
    } else {
        errno = saved_errno;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    }
    Py_DECREF(path);
    return result;
}

PyDoc_STRVAR(mounttable_fanotify_init_doc,
             "fanotify_init(flags: int, event_f_flags: int = 0) -> int\n\n"
             "A new fanotify group's fd, non-inheritable (FAN_CLOEXEC is always added).\n\n"
             "Calls fanotify_init(2). Raises OSError on failure.");

static PyObject *mounttable_fanotify_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"flags", "event_f_flags", nullptr};
    unsigned int flags;
    unsigned int event_f_flags = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "I|I:fanotify_init", const_cast<char **>(kwlist),
                                     &flags, &event_f_flags))
        return nullptr;
    long fd;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        fd = syscall(SYS_fanotify_init, flags | 0x1U /* FAN_CLOEXEC */, event_f_flags);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    if (fd < 0) {
        errno = saved_errno;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyLong_FromLong(fd);
}

PyDoc_STRVAR(mounttable_fanotify_mark_doc,
             "fanotify_mark(fd: int, flags: int, mask: int, path: str) -> None\n\n"
             "Adds, removes or changes a mark of the fanotify group fd on path.\n\n"
             "Calls fanotify_mark(2). Raises OSError on failure.");

static PyObject *mounttable_fanotify_mark(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fd", "flags", "mask", "path", nullptr};
    int fd;
    unsigned int flags;
    uint64_t mask;
    PyObject *path = nullptr;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iIO&O&:fanotify_mark",
                                     const_cast<char **>(kwlist), &fd, &flags, to_u64, &mask,
                                     to_path, &path))
        return nullptr;
    long ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = syscall(SYS_fanotify_mark, fd, flags, mask, AT_FDCWD, PyBytes_AS_STRING(path));
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    if (ret < 0) {
        errno = saved_errno;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        Py_DECREF(path);
        return nullptr;
    }
    Py_DECREF(path);
    Py_RETURN_NONE;
}

#define VK_METHOD(name)                                                                            \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(mounttable_##name)),    \
     METH_VARARGS | METH_KEYWORDS, mounttable_##name##_doc}

// ---------------------------------------------------------------------------
// Guard: the base of velkora's context managers that must leave nothing
// behind (velkora.mounted).
//
// A context manager written in Python cannot be left reliably: a signal
// handler's exception (Ctrl-C) can be raised as its __exit__ begins, before
// its first statement, and the with statement then goes on without the
// clean-up ever having run. Guard's __exit__ is C: the with statement calls
// it without starting a Python frame, and it calls self._leave(False), the
// subclass's clean-up; if that ends in anything but OSError (an interrupt,
// wherever it landed), self._leave(True) finishes the job, doing only what
// the first run left undone, and the first exception is raised after.

namespace {
struct ModuleState {
    PyObject *guard_type;
};
} // namespace

static ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// With an exception set: calls self.method(arg...) to clean up, then raises
// the first exception again, or where the clean-up failed too, its error
// with the first as context. Always null.
static PyObject *clean_up_and_raise(PyObject *self, const char *method, PyObject *arg)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *done = arg != nullptr ? PyObject_CallMethod(self, method, "O", arg)
                                    : PyObject_CallMethod(self, method, nullptr);
    if (done != nullptr) {
        Py_DECREF(done);
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *type2 = nullptr;
    PyObject *value2 = nullptr;
    PyObject *traceback2 = nullptr;
    PyErr_Fetch(&type2, &value2, &traceback2);
    PyErr_NormalizeException(&type2, &value2, &traceback2);
    if (value != nullptr && traceback != nullptr)
        PyException_SetTraceback(value, traceback);
    if (value2 != nullptr && value != nullptr)
        PyException_SetContext(value2, value); // steals value
    else
        Py_XDECREF(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(type2, value2, traceback2);
    return nullptr;
}

PyDoc_STRVAR(guard_enter_doc, "__enter__($self, /)\n--\n\n"
                              "Return self._enter(); where it fails or is interrupted, run\n"
                              "self._undo() first.");

static PyObject *guard_enter(PyObject *self, PyObject *args)
{
    (void)args;
    // C, so that nothing can fall between what _enter made and the with
    // statement's taking charge of it (a Python __enter__ returning from a
    // try block can be interrupted after the block ends, before it returns).
    PyObject *result = PyObject_CallMethod(self, "_enter", nullptr);
    if (result != nullptr) {
        // A signal that came while it ran is handled here, where what was made
        // can still be undone: the interpreter (3.12 and later) would run its
        // handler as the call returns, before the with statement takes charge.
        if (PyErr_CheckSignals() == 0)
            return result;
        Py_DECREF(result);
    }
    return clean_up_and_raise(self, "_undo", nullptr);
}

PyDoc_STRVAR(guard_exit_doc, "__exit__($self, exc_type, exc, traceback, /)\n--\n\n"
                             "Run self._leave() to the end; never suppresses an exception.");

static PyObject *guard_exit(PyObject *self, PyObject *args)
{
    (void)args;
    PyObject *done = PyObject_CallMethod(self, "_leave", "O", Py_False);
    if (done == nullptr && !PyErr_ExceptionMatches(PyExc_OSError)) {
        // Interrupted: finish the clean-up, then raise what interrupted it.
        return clean_up_and_raise(self, "_leave", Py_True);
    }
    if (done == nullptr)
        return nullptr;
    Py_DECREF(done);
    Py_RETURN_FALSE;
}

static PyMethodDef guard_methods[] = {
    {"__enter__", guard_enter, METH_NOARGS, guard_enter_doc},
    {"__exit__", guard_exit, METH_VARARGS, guard_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(guard_doc, "Guard()\n--\n\n"
                        "A base for context managers whose clean-up must run: subclasses define\n"
                        "_enter(), _undo() (run where _enter fails or is interrupted) and\n"
                        "_leave(again), run again with again=True after an interrupt.");

static PyType_Slot guard_slots[] = {
    {Py_tp_methods, guard_methods},
    {Py_tp_doc, const_cast<char *>(guard_doc)},
    {0, nullptr},
};

static PyType_Spec guard_spec = {
    "velkora._mounttable.Guard",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    guard_slots,
};

static PyMethodDef mounttable_methods[] = {
    VK_METHOD(listmount),
    VK_METHOD(statmount),
    VK_METHOD(mount_id),
    VK_METHOD(mount),
    VK_METHOD(umount),
    VK_METHOD(table),
    VK_METHOD(record),
    VK_METHOD(parse),
    VK_METHOD(read),
    VK_METHOD(mntns_id),
    VK_METHOD(fanotify_init),
    VK_METHOD(fanotify_mark),
    {nullptr, nullptr, 0, nullptr},
};

static int mounttable_exec(PyObject *module)
{
    PyObject *type = PyType_FromSpec(&guard_spec);
    if (type == nullptr)
        return -1;
    state_of(module)->guard_type = type;
    Py_INCREF(type);
    if (PyModule_AddObject(module, "Guard", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyObject *root = PyLong_FromUnsignedLongLong(LSMT_ROOT);
    if (root == nullptr)
        return -1;
    if (PyModule_AddObject(module, "LSMT_ROOT", root) < 0) {
        Py_DECREF(root);
        return -1;
    }
    return 0;
}

static PyModuleDef_Slot mounttable_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(mounttable_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

static int mounttable_traverse(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(state_of(module)->guard_type);
    return 0;
}

static int mounttable_clear(PyObject *module)
{
    Py_CLEAR(state_of(module)->guard_type);
    return 0;
}

static void mounttable_free(void *module)
{
    (void)mounttable_clear(static_cast<PyObject *>(module));
}

static struct PyModuleDef mounttable_module = {
    PyModuleDef_HEAD_INIT,
    "velkora._mounttable",
    "The mount table for velkora.mountinfo (listmount(2), statmount(2)), and for\n"
    "velkora.contexts a mount's id (statx(2)) and the Guard base class.",
    sizeof(ModuleState),
    mounttable_methods,
    mounttable_slots,
    mounttable_traverse,
    mounttable_clear,
    mounttable_free,
};

// Python 3.8's PyMODINIT_FUNC does not mark the symbol visible, and the
// module is built with hidden visibility: say it here for every version. The
// name is the interpreter's rule for a module called _mounttable.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((visibility("default"))) PyObject *PyInit__mounttable(void);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__mounttable(void)
{
    return PyModuleDef_Init(&mounttable_module);
}

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
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// The generic numbers, for C library headers that predate the calls.
#ifndef SYS_statmount
#define SYS_statmount 457
#endif
#ifndef SYS_listmount
#define SYS_listmount 458
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

PyDoc_STRVAR(mounttable_mount_id_doc,
             "mount_id(path: str) -> int | None\n\n"
             "The id of the mount that holds path now, as mountinfo numbers it, or None\n"
             "where the kernel does not say (before 5.8). Needs no fd, so nothing can be\n"
             "left open. Calls statx(2). Raises OSError on failure.");

static PyObject *mounttable_mount_id(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", nullptr};
    PyObject *path_obj;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:mount_id", const_cast<char **>(kwlist),
                                     &path_obj))
        return nullptr;
    Py_ssize_t size;
    const char *path = PyUnicode_AsUTF8AndSize(path_obj, &size);
    if (path == nullptr)
        return nullptr;
    if (strlen(path) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in path");
        return nullptr;
    }
    struct statx st = {};
    for (;;) {
        long ret;
        int saved_errno;
        // By number: glibc's wrapper is newer than the oldest C library the wheels run on.
        Py_BEGIN_ALLOW_THREADS
            ret = syscall(__NR_statx, AT_FDCWD, path, AT_NO_AUTOMOUNT, STATX_MNT_ID, &st);
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
    if ((st.stx_mask & STATX_MNT_ID) == 0 || st.stx_mnt_id == 0)
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(st.stx_mnt_id);
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

PyDoc_STRVAR(guard_exit_doc, "__exit__($self, exc_type, exc, traceback, /)\n--\n\n"
                             "Run self._leave() to the end; never suppresses an exception.");

static PyObject *guard_exit(PyObject *self, PyObject *args)
{
    (void)args;
    PyObject *done = PyObject_CallMethod(self, "_leave", "O", Py_False);
    if (done == nullptr && !PyErr_ExceptionMatches(PyExc_OSError)) {
        // Interrupted: finish the clean-up, then raise what interrupted it.
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        done = PyObject_CallMethod(self, "_leave", "O", Py_True);
        if (done == nullptr) {
            // The second try failed too: its error, with the first as context.
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
        Py_DECREF(done);
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    if (done == nullptr)
        return nullptr;
    Py_DECREF(done);
    Py_RETURN_FALSE;
}

static PyMethodDef guard_methods[] = {
    {"__exit__", guard_exit, METH_VARARGS, guard_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(guard_doc, "Guard()\n--\n\n"
                        "A base for context managers whose __exit__ must run: subclasses define\n"
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

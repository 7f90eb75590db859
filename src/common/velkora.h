// What velkora's native modules share: the system call numbers and mount
// flag numbers older headers lack, argument converters, the one EINTR
// retry, errno to OSError, a byte copy, and the module boilerplate. Header
// only; everything here is inline (or a macro), so each module takes what it
// uses and nothing else.
//
// velkora.mount does not include it: its one source file is its contract.

#ifndef VELKORA_COMMON_VELKORA_H
#define VELKORA_COMMON_VELKORA_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/mount.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// The generic numbers, shared by every architecture but alpha, mips and ia64,
// for C libraries whose headers predate the calls: every call the modules
// make by number is here.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_open_tree
#define SYS_open_tree 428
#endif
#ifndef SYS_move_mount
#define SYS_move_mount 429
#endif
#ifndef SYS_fsopen
#define SYS_fsopen 430
#endif
#ifndef SYS_fsconfig
#define SYS_fsconfig 431
#endif
#ifndef SYS_fsmount
#define SYS_fsmount 432
#endif
#ifndef SYS_fspick
#define SYS_fspick 433
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef SYS_openat2
#define SYS_openat2 437
#endif
#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif
#ifndef SYS_statmount
#define SYS_statmount 457
#endif
#ifndef SYS_listmount
#define SYS_listmount 458
#endif

// ---------------------------------------------------------------------------
// The mount flags' numbers: the kernel's uapi <linux/mount.h> (MS_*,
// MOUNT_ATTR_*, OPEN_TREE_*, MOVE_MOUNT_*, FSOPEN_*, FSMOUNT_*, FSPICK_*) and
// <fcntl.h> (AT_*) where the build's headers have them, else the one
// definition here. Each module exports the numbers it takes (velkora._mounts
// mount(2)'s and umount2(2)'s, velkora.fsmount the rest), and velkora.flags
// builds its classes from those.
//
// <sys/mount.h> is not included anywhere: before glibc 2.36 its MS_* are an
// enum that the uapi macros break, so mount(2) and umount2(2) are declared
// here as the C library has them.

extern "C" int mount(const char *source, const char *target, const char *fstype,
                     unsigned long flags, const void *data);
extern "C" int umount2(const char *target, int flags);

// umount2(2)'s flags, which no uapi header holds (the C library's are in
// <sys/mount.h>, the kernel's in its private linux/fs.h).
#ifndef MNT_FORCE
#define MNT_FORCE 0x00000001
#endif
#ifndef MNT_DETACH
#define MNT_DETACH 0x00000002
#endif
#ifndef MNT_EXPIRE
#define MNT_EXPIRE 0x00000004
#endif
#ifndef UMOUNT_NOFOLLOW
#define UMOUNT_NOFOLLOW 0x00000008
#endif

// Newer than the oldest uapi header this builds against (6.1).
#ifndef MOVE_MOUNT_BENEATH
#define MOVE_MOUNT_BENEATH 0x00000200
#endif
#ifndef AT_RECURSIVE
#define AT_RECURSIVE 0x8000
#endif
// Newer still: the clone, or the new mount, in a mount namespace of its own.
#ifndef OPEN_TREE_NAMESPACE
#define OPEN_TREE_NAMESPACE 0x00000002
#endif
#ifndef FSMOUNT_NAMESPACE
#define FSMOUNT_NAMESPACE 0x00000002
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *obj)
{
    Py_INCREF(obj);
    return obj;
}
#endif

struct statx; // <linux/stat.h>, for the files that read one

namespace vk {

// ---------------------------------------------------------------------------
// Argument converters, for "O&" in PyArg_ParseTupleAndKeywords: 1 with *out
// set, or 0 with an exception set.

// An unsigned 64-bit value (an id, a mask, an offset): an int from 0 to
// 2**64-1, else OverflowError, never wrapped.
inline int to_u64(PyObject *obj, void *out)
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

// An unsigned 32-bit value (a flag word), as to_u64 checks it.
inline int to_u32(PyObject *obj, void *out)
{
    uint64_t value;
    if (!to_u64(obj, &value))
        return 0;
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value does not fit in 32 bits");
        return 0;
    }
    *static_cast<uint32_t *>(out) = static_cast<uint32_t>(value);
    return 1;
}

// A C int from a Python int (what names the argument in the error); None and
// other stand-ins are the caller's to handle.
inline int int_value(PyObject *obj, const char *what, int *out)
{
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be int, not %.200s", what, Py_TYPE(obj)->tp_name);
        return 0;
    }
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred())
        return 0;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s does not fit in an int", what);
        return 0;
    }
    *out = static_cast<int>(value);
    return 1;
}

// An open fd: a non-negative int, or an object whose fileno() gives one (as
// CPython's fildes converter takes it; ValueError for a negative number).
inline int to_fd(PyObject *obj, void *out)
{
    int fd = PyObject_AsFileDescriptor(obj);
    if (fd < 0)
        return 0;
    *static_cast<int *>(out) = fd;
    return 1;
}

// A directory fd for the *at calls: as to_fd, and any int besides, AT_FDCWD
// among them (the kernel answers EBADF for the rest, as os.open's dir_fd).
inline int to_dirfd(PyObject *obj, void *out)
{
    if (PyLong_Check(obj))
        return int_value(obj, "fd", static_cast<int *>(out));
    return to_fd(obj, out);
}

// A path: str (through the filesystem encoding), bytes or os.PathLike,
// without NUL, as the os module takes it; *out is a new reference to its
// bytes, released by the converter's clean-up call (Py_CLEANUP_SUPPORTED).
inline int to_path(PyObject *obj, void *out)
{
    PyObject *bytes = nullptr;
    if (obj == nullptr) { // the clean-up call
        Py_CLEAR(*static_cast<PyObject **>(out));
        return 1;
    }
    if (!PyUnicode_FSConverter(obj, static_cast<void *>(&bytes)))
        return 0;
    *static_cast<PyObject **>(out) = bytes;
    return Py_CLEANUP_SUPPORTED;
}

// to_path, or None for no path (*out left null): an optional path argument
// whose text signature gives None as its default.
inline int to_optional_path(PyObject *obj, void *out)
{
    return obj == Py_None ? 1 : to_path(obj, out);
}

// A path as to_path takes it, for a function that keeps the object itself
// to name in an error: the text, held by *holder (a new reference); null
// with an exception set.
inline const char *fs_text(PyObject *obj, PyObject **holder)
{
    *holder = nullptr;
    if (!PyUnicode_FSConverter(obj, static_cast<void *>(holder)))
        return nullptr;
    return PyBytes_AS_STRING(*holder);
}

// PyArg_ParseTupleAndKeywords with the keywords as a function's static
// table of const strings (the interpreter takes them as char **, and only
// reads them).
template <typename... Out>
inline int parse_args(PyObject *args, PyObject *kwargs, const char *format,
                      const char *const *kwlist, Out... out)
{
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(kwlist), out...);
}

// ---------------------------------------------------------------------------
// System calls. Each runs without the interpreter lock, and nothing else
// does. After EINTR a call is made again unless a signal handler raised
// (PEP 475), through retrying(); these retry:
//   open and read of a file (mountinfo, a device, a backing file); statx,
//   listmount, statmount; fsopen, fspick, open_tree (nothing is made on
//   failure); every loop-device ioctl (LOOP_CTL_GET_FREE, LOOP_CONFIGURE,
//   LOOP_SET_*, LOOP_GET_STATUS64, LOOP_CLR_FD).
// These are made once, through once(), and EINTR is their answer:
//   close (the fd is gone either way: again could close another thread's);
//   mount(2), umount2(2), fsconfig, fsmount, move_mount, mount_setattr
//   (changes to the mount table, which the caller may want to look at before
//   asking again); fanotify_init, fanotify_mark, the nsfs ioctl, readlink
//   and the read of a filesystem context's messages (which no signal
//   interrupts).

// What a call made through retrying() or once() returns where a signal
// handler raised: the exception is set, errno means nothing.
const long RAISED = -2;

template <typename Call> inline long once(Call call)
{
    long ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = call();
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    errno = saved_errno;
    return ret;
}

// call() (returning a long, negative with errno on failure) until it ends
// without EINTR: its answer, with errno as it left it; or RAISED.
template <typename Call> inline long retrying(Call call)
{
    for (;;) {
        long ret = once(call);
        if (ret >= 0 || errno != EINTR)
            return ret;
        if (PyErr_CheckSignals() != 0)
            return RAISED;
    }
}

// statx(2), by number: the C library's wrapper (glibc 2.28) is newer than
// the oldest C library the wheels run on. The bare call, safe between fork
// and exec; the callers with the interpreter wrap it in retrying().
inline long statx_call(int dirfd, const char *path, int flags, unsigned int mask, struct statx *st)
{
    return syscall(__NR_statx, dirfd, path, flags, mask, st);
}

// Closes an fd no error is wanted from, keeping errno.
inline void close_quietly(int fd)
{
    int saved_errno = errno;
    once([fd] { return static_cast<long>(close(fd)); });
    errno = saved_errno;
}

// ---------------------------------------------------------------------------
// Errors: the OSError subclass of an errno, naming up to two paths (the
// objects the caller gave, so an error shows them as they were passed).

inline PyObject *os_error(int saved_errno, PyObject *filename = nullptr,
                          PyObject *filename2 = nullptr)
{
    errno = saved_errno;
    return PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, filename, filename2);
}

// The error of a failed call (ret < 0, errno set): nothing new after RAISED,
// whose exception is already set. Always null.
inline PyObject *call_error(long ret, PyObject *filename = nullptr, PyObject *filename2 = nullptr)
{
    if (ret == RAISED)
        return nullptr;
    return os_error(errno, filename, filename2);
}

// ---------------------------------------------------------------------------
// Bytes.

// memcpy as the oldest C library on x86-64 has it (GLIBC_2.2.5): the
// compiler calls memcpy of its own accord to copy a large aggregate (newer
// g++ copies a struct's default initializers that way), and the current
// version (GLIBC_2.14) would raise the wheels' C library baseline. Both
// versions copy; the older one copies forward, which is all a copy between
// objects that do not overlap needs.
#if defined(__x86_64__)
__asm__(".symver memcpy, memcpy@GLIBC_2.2.5");
#endif

// memmove, called where the compiler cannot see what the two pointers are:
// where it can tell they do not overlap it calls memcpy instead, whose
// current version (GLIBC_2.14) would raise the wheels' C library baseline.
#ifdef __clang__
__attribute__((noinline))
#else
__attribute__((noinline, noclone))
#endif
inline void copy_bytes(char *to, const char *from, size_t n)
{
    memmove(to, from, n);
}

// ---------------------------------------------------------------------------
// Module boilerplate.

// A constant a module has, for add_int_constants.
struct IntConstant {
    const char *name;
    long value;
};

// Adds each constant of a static table; -1 at the first failure.
template <size_t N> inline int add_int_constants(PyObject *module, const IntConstant (&table)[N])
{
    for (const IntConstant &constant : table) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddIntConstant(module, constant.name, constant.value) < 0)
            return -1;
    }
    return 0;
}

// Adds a new reference to obj (null: an error set) as name; -1 on failure.
inline int add_object(PyObject *module, const char *name, PyObject *obj)
{
    if (obj == nullptr)
        return -1;
    if (PyModule_AddObject(module, name, obj) < 0) {
        Py_DECREF(obj);
        return -1;
    }
    return 0;
}

} // namespace vk

// A METH_VARARGS | METH_KEYWORDS entry of a method table, for the function
// prefix_name and its docstring prefix_name_doc.
#define VK_METHOD(prefix, name)                                                                    \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(prefix##_##name)),      \
     METH_VARARGS | METH_KEYWORDS, prefix##_##name##_doc}

// The slots of a module with an exec function and nothing global: every
// interpreter, with its own GIL, may load it, and it needs no GIL.
#ifdef Py_mod_multiple_interpreters
#define VK_SLOT_INTERPRETERS {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define VK_SLOT_INTERPRETERS
#endif
#ifdef Py_mod_gil
#define VK_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VK_SLOT_GIL
#endif
#define VK_MODULE_SLOTS(exec)                                                                      \
    {                                                                                              \
        {Py_mod_exec, reinterpret_cast<void *>(exec)}, VK_SLOT_INTERPRETERS VK_SLOT_GIL            \
        {                                                                                          \
            0, nullptr                                                                             \
        }                                                                                          \
    }

// The definition of a module named name (its doc, its slots) that keeps no
// state of its own: its functions and constants are added by its exec slot.
#define VK_MODULE_DEF(name, doc, slots)                                                            \
    {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr}

// The init function of the module NAME, multi-phase. Python 3.8's
// PyMODINIT_FUNC does not mark the symbol visible, and the modules are built
// with hidden visibility: it is said here for every version. A leading
// underscore in NAME makes a reserved identifier; the interpreter's rule
// wants it.
#define VK_MODULE_INIT(name, def)                                                                  \
    extern "C" __attribute__((visibility("default"))) PyObject *PyInit_##name(void);               \
    PyMODINIT_FUNC PyInit_##name(void)                                                             \
    {                                                                                              \
        return PyModuleDef_Init(&(def));                                                           \
    }

#endif // VELKORA_COMMON_VELKORA_H

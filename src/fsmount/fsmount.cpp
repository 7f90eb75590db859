// velkora.fsmount: Linux's file-descriptor mount API for Python.
//
// fsopen(2), fspick(2), fsconfig(2), fsmount(2), open_tree(2), move_mount(2)
// and mount_setattr(2), each with the kernel's arguments in the kernel's
// order. Arguments are checked before the call, the interpreter lock is
// dropped for exactly the system call, and a failure becomes the OSError
// subclass of its errno; after a failing fsconfig or fsmount the messages the
// kernel queued on the filesystem context come along on the exception.
//
// The calls go through syscall(2) by number: the C library's wrappers are
// newer than the oldest C library the wheels run on.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/mount.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// The generic numbers, shared by every architecture but alpha, mips and ia64,
// for C libraries whose headers predate the calls.
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
#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif

// Newer than the oldest uapi header this builds against (6.1).
#ifndef MOVE_MOUNT_BENEATH
#define MOVE_MOUNT_BENEATH 0x00000200
#endif
#ifndef AT_RECURSIVE
#define AT_RECURSIVE 0x8000
#endif
// An enumerator since 6.6, so no macro tells whether the header has it.
static const unsigned int vk_FSCONFIG_CMD_CREATE_EXCL = 8;

static_assert(FSCONFIG_SET_FLAG == 0 && FSCONFIG_SET_STRING == 1 && FSCONFIG_SET_BINARY == 2 &&
                  FSCONFIG_SET_PATH == 3 && FSCONFIG_SET_PATH_EMPTY == 4 && FSCONFIG_SET_FD == 5 &&
                  FSCONFIG_CMD_CREATE == 6 && FSCONFIG_CMD_RECONFIGURE == 7,
              "fsconfig commands differ from Linux's");
static_assert(sizeof(struct mount_attr) == MOUNT_ATTR_SIZE_VER0, "struct mount_attr is not VER0");

// A kernel message is at most a few hundred bytes; the buffer must be larger
// than any, or the read fails with EMSGSIZE and the message stays queued.
static const size_t MESSAGE_BUFFER = 4096;
static const int MAX_MESSAGES = 64;

// ---------------------------------------------------------------------------
// Argument converters for PyArg_ParseTupleAndKeywords ("O&").

// An unsigned int flag word: an int from 0 to UINT_MAX, else OverflowError.
static int to_unsigned_int(PyObject *obj, void *out)
{
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "an int is required, not %.200s", Py_TYPE(obj)->tp_name);
        return 0;
    }
    unsigned long value = PyLong_AsUnsignedLong(obj);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred())
        return 0;
    if (value > UINT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value does not fit in an unsigned int");
        return 0;
    }
    *static_cast<unsigned int *>(out) = static_cast<unsigned int>(value);
    return 1;
}

// An unsigned 64-bit field of struct mount_attr.
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

// An int (an fd, or fsconfig's aux), from a Python int; None is left to the
// caller, who alone knows whether it may stand for "not given".
static int int_value(PyObject *obj, const char *what, int *out)
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

// An fd argument: an int (AT_FDCWD included), or an object whose fileno()
// gives one, as the os and fcntl modules take them.
static int to_fd(PyObject *obj, void *out)
{
    if (PyLong_Check(obj))
        return int_value(obj, "fd", static_cast<int *>(out));
    int fd = PyObject_AsFileDescriptor(obj); // TypeError without fileno()
    if (fd < 0)
        return 0;
    *static_cast<int *>(out) = fd;
    return 1;
}

// A str, as UTF-8 without NUL, borrowed from the object (which the caller
// holds through the argument tuple). Returns nullptr with an exception set.
static const char *utf8_text(PyObject *obj, const char *what)
{
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr)
        return nullptr;
    if (strlen(text) != static_cast<size_t>(size)) {
        PyErr_Format(PyExc_ValueError, "embedded null character in %s", what);
        return nullptr;
    }
    return text;
}

// A path or a name that may be one: a str (through the filesystem encoding,
// so a surrogate escape is the byte it stands for, as os.fsencode makes it),
// bytes or an os.PathLike, without NUL, as the os module takes paths. The
// text lives in *holder, a new reference for the caller to release; nullptr
// with an exception set (then *holder is null).
static const char *fs_text(PyObject *obj, PyObject **holder)
{
    *holder = nullptr;
    if (!PyUnicode_FSConverter(obj, static_cast<void *>(holder)))
        return nullptr;
    return PyBytes_AS_STRING(*holder);
}

// ---------------------------------------------------------------------------
// Errors.

// OSError (the errno's subclass) for a call without kernel messages.
static PyObject *errno_error(int saved_errno, PyObject *filename, PyObject *filename2)
{
    errno = saved_errno;
    return PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, filename, filename2);
}

// Whether fd is a filesystem context, the only kind of fd whose messages may
// be read: any other fd's read would take the caller's data, or block.
static bool is_fs_context(int fd)
{
    char proc[40];
    char link[32];
    ssize_t n;
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    Py_BEGIN_ALLOW_THREADS
        n = readlink(proc, link, sizeof link - 1);
    Py_END_ALLOW_THREADS
    if (n < 0)
        return false;
    link[n] = '\0';
    // The kernel names the anonymous inode "[fscontext]"; some have left out
    // the brackets.
    return strcmp(link, "anon_inode:[fscontext]") == 0 || strcmp(link, "anon_inode:fscontext") == 0;
}

// The messages the kernel queued on fs_fd, oldest first, each as it wrote
// it with its severity letter and without the newline; an empty tuple if it
// queued none or fs_fd is no filesystem context.
static PyObject *kernel_messages(int fs_fd)
{
    PyObject *messages = PyList_New(0);
    if (messages == nullptr)
        return nullptr;
    // The queue holds a handful; the bound only guards against a kernel that
    // would keep answering.
    for (int i = 0; i < MAX_MESSAGES && is_fs_context(fs_fd); i++) {
        char text[MESSAGE_BUFFER];
        ssize_t got;
        Py_BEGIN_ALLOW_THREADS
            got = read(fs_fd, text, sizeof text);
        Py_END_ALLOW_THREADS
        // ENODATA ends the queue; any other error ends the reading too.
        if (got <= 0)
            break;
        if (text[got - 1] == '\n')
            got--;
        PyObject *message = PyUnicode_DecodeFSDefaultAndSize(text, got);
        if (message == nullptr || PyList_Append(messages, message) < 0) {
            Py_XDECREF(message);
            Py_DECREF(messages);
            return nullptr;
        }
        Py_DECREF(message);
    }
    PyObject *tuple = PyList_AsTuple(messages);
    Py_DECREF(messages);
    return tuple;
}

// OSError for a failed fsconfig or fsmount on fs_fd, carrying what the
// kernel queued there: as kernel_messages and, where there is any, in the
// text after the errno's own: "Invalid argument (kernel: e tmpfs: ...)".
static PyObject *context_error(int saved_errno, int fs_fd, PyObject *filename)
{
    // A signal handler's exception comes first, as with every OSError.
    if (saved_errno == EINTR && PyErr_CheckSignals() != 0)
        return nullptr;
    PyObject *messages = kernel_messages(fs_fd);
    if (messages == nullptr)
        return nullptr;
    PyObject *text;
    if (PyTuple_GET_SIZE(messages) == 0) {
        text = PyUnicode_DecodeLocale(strerror(saved_errno), "surrogateescape");
    } else {
        PyObject *separator = PyUnicode_FromString("; ");
        PyObject *joined = separator != nullptr ? PyUnicode_Join(separator, messages) : nullptr;
        Py_XDECREF(separator);
        text = joined ? PyUnicode_FromFormat("%s (kernel: %U)", strerror(saved_errno), joined)
                      : nullptr;
        Py_XDECREF(joined);
    }
    if (text == nullptr) {
        Py_DECREF(messages);
        return nullptr;
    }
    // OSError(errno, strerror, filename) makes an instance of the errno's subclass.
    PyObject *exc = filename != nullptr
                        ? PyObject_CallFunction(PyExc_OSError, "iOO", saved_errno, text, filename)
                        : PyObject_CallFunction(PyExc_OSError, "iO", saved_errno, text);
    Py_DECREF(text);
    if (exc == nullptr) {
        Py_DECREF(messages);
        return nullptr;
    }
    int failed = PyObject_SetAttrString(exc, "kernel_messages", messages);
    Py_DECREF(messages);
    if (failed == 0)
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return nullptr;
}

// ---------------------------------------------------------------------------
// The calls.

// An fd-making call (fsopen, fspick, open_tree): made without the
// interpreter lock, again after EINTR unless a signal handler raised (PEP
// 475); the fd, or OSError naming filename.
static PyObject *fd_call(long number, long a, long b, long c, PyObject *filename)
{
    for (;;) {
        long ret;
        int saved_errno;
        Py_BEGIN_ALLOW_THREADS
            ret = syscall(number, a, b, c);
            saved_errno = errno;
        Py_END_ALLOW_THREADS
        if (ret >= 0)
            return PyLong_FromLong(ret);
        if (saved_errno != EINTR)
            return errno_error(saved_errno, filename, nullptr);
        if (PyErr_CheckSignals() != 0)
            return nullptr;
    }
}

PyDoc_STRVAR(fsmount_fsopen_doc,
             "fsopen($module, /, fs_name, flags=0)\n--\n\n"
             "Open a new filesystem context for the filesystem type fs_name.\n\n"
             "Calls fsopen(2) with FSOPEN_CLOEXEC added to flags, and returns the\n"
             "context's fd, non-inheritable (os.set_inheritable changes that).\n"
             "Raises OSError on failure.");

static PyObject *fsmount_fsopen(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fs_name", "flags", nullptr};
    PyObject *name_obj;
    unsigned int flags = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O&:fsopen", const_cast<char **>(kwlist),
                                     &name_obj, to_unsigned_int, &flags))
        return nullptr;
    const char *fs_name = utf8_text(name_obj, "fs_name");
    if (fs_name == nullptr)
        return nullptr;
    return fd_call(SYS_fsopen, reinterpret_cast<long>(fs_name), flags | FSOPEN_CLOEXEC, 0, nullptr);
}

PyDoc_STRVAR(fsmount_fspick_doc,
             "fspick($module, /, dirfd, path, flags=0)\n--\n\n"
             "Open a filesystem context on the superblock of a mounted filesystem,\n"
             "to reconfigure it.\n\n"
             "Calls fspick(2) with FSPICK_CLOEXEC added to flags, and returns the\n"
             "context's fd, non-inheritable. Raises OSError on failure.");

// fspick and open_tree: (dirfd, path, flags) in, an fd out; cloexec is
// added to the flags.
static PyObject *path_to_fd(long number, const char *format, unsigned int cloexec, PyObject *args,
                            PyObject *kwargs)
{
    static const char *const kwlist[] = {"dirfd", "path", "flags", nullptr};
    int dirfd;
    PyObject *path_obj;
    unsigned int flags = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(kwlist), to_fd,
                                     &dirfd, &path_obj, to_unsigned_int, &flags))
        return nullptr;
    PyObject *encoded;
    const char *path = fs_text(path_obj, &encoded);
    if (path == nullptr)
        return nullptr;
    PyObject *fd = fd_call(number, dirfd, reinterpret_cast<long>(path), flags | cloexec, path_obj);
    Py_DECREF(encoded);
    return fd;
}

static PyObject *fsmount_fspick(PyObject *self, PyObject *args, PyObject *kwargs)
{
    (void)self;
    return path_to_fd(SYS_fspick, "O&O|O&:fspick", FSPICK_CLOEXEC, args, kwargs);
}

// What fsconfig's commands take beside the key: checked before the call.
namespace {
enum class Value : unsigned char { none, text, binary, path, any };
enum class Aux : unsigned char { zero, length, required };

struct Command {
    unsigned int cmd;
    bool key;
    Value value;
    Aux aux;
};

// One fsconfig call's arguments as the kernel will receive them.
struct FsconfigCall {
    const char *key = nullptr;
    const void *value = nullptr;
    int aux = 0;
    Py_buffer binary = {};        // held while the kernel reads a blob
    PyObject *encoded = nullptr;  // holds a text or path value's bytes
    PyObject *filename = nullptr; // the path, for the exception
};
} // namespace

static const Command fsconfig_commands[] = {
    {FSCONFIG_SET_FLAG, true, Value::none, Aux::zero},
    {FSCONFIG_SET_STRING, true, Value::text, Aux::zero},
    {FSCONFIG_SET_BINARY, true, Value::binary, Aux::length},
    {FSCONFIG_SET_PATH, true, Value::path, Aux::required},
    {FSCONFIG_SET_PATH_EMPTY, true, Value::path, Aux::required},
    {FSCONFIG_SET_FD, true, Value::none, Aux::required},
    {FSCONFIG_CMD_CREATE, false, Value::none, Aux::zero},
    {FSCONFIG_CMD_RECONFIGURE, false, Value::none, Aux::zero},
    {vk_FSCONFIG_CMD_CREATE_EXCL, false, Value::none, Aux::zero},
};

// What cmd takes; a command this module does not know takes anything, as a
// newer kernel may.
static Command fsconfig_command(unsigned int cmd, bool *known)
{
    for (const auto &command : fsconfig_commands) {
        // A plain loop over a static table, as the C API's own code has it.
        // cppcheck-suppress useStlAlgorithm
        if (command.cmd == cmd) {
            *known = true;
            return command;
        }
    }
    *known = false;
    return {cmd, true, Value::any, Aux::zero};
}

static int fsconfig_key(const Command &command, bool known, PyObject *key_obj, FsconfigCall *call)
{
    if (key_obj == Py_None && !(known && command.key))
        return 1;
    if (!command.key) {
        PyErr_Format(PyExc_TypeError, "fsconfig command %u takes no key", command.cmd);
        return 0;
    }
    call->key = utf8_text(key_obj, "key");
    return call->key != nullptr;
}

// The value; for a blob, its buffer is held in call->binary on success.
static int fsconfig_value(const Command &command, PyObject *value_obj, FsconfigCall *call)
{
    switch (command.value) {
    case Value::none:
        if (value_obj == Py_None)
            return 1;
        PyErr_Format(PyExc_TypeError, "fsconfig command %u takes no value", command.cmd);
        return 0;
    case Value::path:
        call->filename = value_obj;
        call->value = fs_text(value_obj, &call->encoded);
        return call->value != nullptr;
    case Value::text:
        // A str or bytes (a layer path, a source): not any path-like object.
        if (!PyUnicode_Check(value_obj) && !PyBytes_Check(value_obj)) {
            PyErr_Format(PyExc_TypeError, "value must be str or bytes, not %.200s",
                         Py_TYPE(value_obj)->tp_name);
            return 0;
        }
        call->value = fs_text(value_obj, &call->encoded);
        return call->value != nullptr;
    case Value::binary:
        if (PyUnicode_Check(value_obj) || !PyObject_CheckBuffer(value_obj)) {
            PyErr_Format(PyExc_TypeError, "value must be a bytes-like object, not %.200s",
                         Py_TYPE(value_obj)->tp_name);
            return 0;
        }
        if (PyObject_GetBuffer(value_obj, &call->binary, PyBUF_SIMPLE) < 0)
            return 0;
        call->value = call->binary.buf;
        return 1;
    case Value::any:
        break;
    }
    if (value_obj == Py_None)
        return 1;
    if (PyBytes_Check(value_obj)) {
        call->value = PyBytes_AS_STRING(value_obj);
        return 1;
    }
    call->value = utf8_text(value_obj, "value");
    return call->value != nullptr;
}

static int fsconfig_aux(const Command &command, bool known, PyObject *aux_obj, FsconfigCall *call)
{
    if (aux_obj == Py_None) {
        if (command.aux == Aux::required) {
            PyErr_Format(PyExc_TypeError, "fsconfig command %u needs aux (%s)", command.cmd,
                         command.value == Value::path ? "the dirfd, AT_FDCWD for a plain path"
                                                      : "the fd");
            return 0;
        }
    } else if (!int_value(aux_obj, "aux", &call->aux)) {
        return 0;
    }
    if (command.aux == Aux::zero && known && call->aux != 0) {
        PyErr_Format(PyExc_ValueError, "fsconfig command %u takes no aux, or 0", command.cmd);
        return 0;
    }
    if (command.aux == Aux::length) {
        Py_ssize_t length = call->binary.len;
        if (length > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value is too long for fsconfig");
            return 0;
        }
        if (aux_obj != Py_None && call->aux != length) {
            PyErr_Format(PyExc_ValueError, "aux must be the value's length, %zd, or None", length);
            return 0;
        }
        call->aux = static_cast<int>(length);
    }
    return 1;
}

PyDoc_STRVAR(fsmount_fsconfig_doc,
             "fsconfig($module, /, fs_fd, cmd, key=None, value=None, aux=None)\n--\n\n"
             "Configure a filesystem context, or create or reconfigure its superblock.\n\n"
             "Calls fsconfig(2). The arguments must suit cmd: FSCONFIG_SET_FLAG a key;\n"
             "FSCONFIG_SET_STRING a key and a str or bytes value; FSCONFIG_SET_BINARY a\n"
             "key and a bytes-like value, whose length is passed as aux; FSCONFIG_SET_PATH\n"
             "and FSCONFIG_SET_PATH_EMPTY a key, a path (str, bytes or os.PathLike) and\n"
             "aux, the dirfd (AT_FDCWD for a plain path); FSCONFIG_SET_FD a key and aux,\n"
             "the fd; FSCONFIG_CMD_* nothing else. A command not listed goes to the\n"
             "kernel as given. A str value or path goes through the filesystem encoding.\n"
             "Raises OSError on failure, with the kernel's messages in kernel_messages.");

static PyObject *fsmount_fsconfig(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fs_fd", "cmd", "key", "value", "aux", nullptr};
    int fs_fd;
    unsigned int cmd;
    PyObject *key_obj = Py_None;
    PyObject *value_obj = Py_None;
    PyObject *aux_obj = Py_None;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&|OOO:fsconfig", const_cast<char **>(kwlist),
                                     to_fd, &fs_fd, to_unsigned_int, &cmd, &key_obj, &value_obj,
                                     &aux_obj))
        return nullptr;

    bool known;
    const Command command = fsconfig_command(cmd, &known);
    FsconfigCall call = {};
    if (!fsconfig_key(command, known, key_obj, &call) || !fsconfig_value(command, value_obj, &call))
        return nullptr;
    if (!fsconfig_aux(command, known, aux_obj, &call)) {
        if (call.binary.obj != nullptr)
            PyBuffer_Release(&call.binary);
        Py_XDECREF(call.encoded);
        return nullptr;
    }

    long ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = syscall(SYS_fsconfig, fs_fd, cmd, call.key, call.value, call.aux);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    if (call.binary.obj != nullptr)
        PyBuffer_Release(&call.binary);
    PyObject *result = Py_None;
    if (ret < 0)
        result = context_error(saved_errno, fs_fd, call.filename);
    else
        Py_INCREF(result);
    Py_XDECREF(call.encoded);
    return result;
}

PyDoc_STRVAR(fsmount_fsmount_doc,
             "fsmount($module, /, fs_fd, flags=0, attr_flags=0)\n--\n\n"
             "Make a detached mount of the superblock created in a filesystem context.\n\n"
             "Calls fsmount(2) with FSMOUNT_CLOEXEC added to flags, and returns the\n"
             "mount's fd, non-inheritable.\n"
             "Raises OSError on failure, with the kernel's messages in kernel_messages.");

static PyObject *fsmount_fsmount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fs_fd", "flags", "attr_flags", nullptr};
    int fs_fd;
    unsigned int flags = 0;
    unsigned int attr_flags = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|O&O&:fsmount", const_cast<char **>(kwlist),
                                     to_fd, &fs_fd, to_unsigned_int, &flags, to_unsigned_int,
                                     &attr_flags))
        return nullptr;
    long ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = syscall(SYS_fsmount, fs_fd, flags | FSMOUNT_CLOEXEC, attr_flags);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    if (ret < 0)
        return context_error(saved_errno, fs_fd, nullptr);
    return PyLong_FromLong(ret);
}

PyDoc_STRVAR(fsmount_open_tree_doc,
             "open_tree($module, /, dirfd, path, flags=0)\n--\n\n"
             "Open a mounted tree, or with OPEN_TREE_CLONE a detached copy of it.\n\n"
             "Calls open_tree(2) with OPEN_TREE_CLOEXEC added to flags, and returns\n"
             "the fd, non-inheritable. Raises OSError on failure.");

static PyObject *fsmount_open_tree(PyObject *self, PyObject *args, PyObject *kwargs)
{
    (void)self;
    return path_to_fd(SYS_open_tree, "O&O|O&:open_tree", OPEN_TREE_CLOEXEC, args, kwargs);
}

PyDoc_STRVAR(fsmount_move_mount_doc,
             "move_mount($module, /, from_dirfd, from_path, to_dirfd, to_path, flags=0)\n--\n\n"
             "Move a mount, or attach a detached one, to a place in the tree.\n\n"
             "Calls move_mount(2). Raises OSError on failure.");

static PyObject *fsmount_move_mount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"from_dirfd", "from_path", "to_dirfd",
                                         "to_path",    "flags",     nullptr};
    int from_dirfd;
    int to_dirfd;
    PyObject *from_obj;
    PyObject *to_obj;
    unsigned int flags = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&OO&O|O&:move_mount",
                                     const_cast<char **>(kwlist), to_fd, &from_dirfd, &from_obj,
                                     to_fd, &to_dirfd, &to_obj, to_unsigned_int, &flags))
        return nullptr;
    PyObject *from_bytes;
    PyObject *to_bytes;
    const char *from_path = fs_text(from_obj, &from_bytes);
    if (from_path == nullptr)
        return nullptr;
    const char *to_path = fs_text(to_obj, &to_bytes);
    if (to_path == nullptr) {
        Py_DECREF(from_bytes);
        return nullptr;
    }
    long ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = syscall(SYS_move_mount, from_dirfd, from_path, to_dirfd, to_path, flags);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    Py_DECREF(from_bytes);
    Py_DECREF(to_bytes);
    if (ret < 0)
        return errno_error(saved_errno, from_obj, to_obj);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(fsmount_mount_setattr_doc,
             "mount_setattr($module, /, dirfd, path, flags=0, *, attr_set=0, attr_clr=0, "
             "propagation=0, userns_fd=None)\n--\n\n"
             "Change the attributes of a mount, or with AT_RECURSIVE of a whole tree.\n\n"
             "Calls mount_setattr(2) with a struct mount_attr made of the keywords.\n"
             "MOUNT_ATTR_IDMAP in attr_set needs userns_fd. Raises OSError on failure.");

static PyObject *fsmount_mount_setattr(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"dirfd",    "path",        "flags",     "attr_set",
                                         "attr_clr", "propagation", "userns_fd", nullptr};
    int dirfd;
    PyObject *path_obj;
    unsigned int flags = 0;
    struct mount_attr attr = {};
    PyObject *userns_obj = Py_None;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O|O&$O&O&O&O:mount_setattr",
                                     const_cast<char **>(kwlist), to_fd, &dirfd, &path_obj,
                                     to_unsigned_int, &flags, to_u64, &attr.attr_set, to_u64,
                                     &attr.attr_clr, to_u64, &attr.propagation, &userns_obj))
        return nullptr;
    if (userns_obj != Py_None) {
        int userns_fd;
        if (!to_fd(userns_obj, &userns_fd))
            return nullptr;
        // As a C caller's int would be widened: -1 stays all ones.
        attr.userns_fd = static_cast<uint64_t>(static_cast<int64_t>(userns_fd));
    } else if ((attr.attr_set & MOUNT_ATTR_IDMAP) != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "MOUNT_ATTR_IDMAP needs userns_fd, the user namespace's fd");
        return nullptr;
    }
    PyObject *encoded;
    const char *path = fs_text(path_obj, &encoded);
    if (path == nullptr)
        return nullptr;
    long ret;
    int saved_errno;
    Py_BEGIN_ALLOW_THREADS
        ret = syscall(SYS_mount_setattr, dirfd, path, flags, &attr, sizeof attr);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    Py_DECREF(encoded);
    if (ret < 0)
        return errno_error(saved_errno, path_obj, nullptr);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The module.

#define VK_METHOD(name)                                                                            \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fsmount_##name)),       \
     METH_VARARGS | METH_KEYWORDS, fsmount_##name##_doc}

static PyMethodDef fsmount_methods[] = {
    VK_METHOD(fsopen),        VK_METHOD(fspick),
    VK_METHOD(fsconfig),      VK_METHOD(fsmount),
    VK_METHOD(open_tree),     VK_METHOD(move_mount),
    VK_METHOD(mount_setattr), {nullptr, nullptr, 0, nullptr},
};

static const struct {
    const char *name;
    long value;
} fsmount_constants[] = {
    {"AT_FDCWD", AT_FDCWD},
    {"AT_EMPTY_PATH", AT_EMPTY_PATH},
    {"AT_RECURSIVE", AT_RECURSIVE},
    {"AT_SYMLINK_NOFOLLOW", AT_SYMLINK_NOFOLLOW},
    {"AT_NO_AUTOMOUNT", AT_NO_AUTOMOUNT},
    {"FSOPEN_CLOEXEC", FSOPEN_CLOEXEC},
    {"FSPICK_CLOEXEC", FSPICK_CLOEXEC},
    {"FSPICK_SYMLINK_NOFOLLOW", FSPICK_SYMLINK_NOFOLLOW},
    {"FSPICK_NO_AUTOMOUNT", FSPICK_NO_AUTOMOUNT},
    {"FSPICK_EMPTY_PATH", FSPICK_EMPTY_PATH},
    {"FSCONFIG_SET_FLAG", FSCONFIG_SET_FLAG},
    {"FSCONFIG_SET_STRING", FSCONFIG_SET_STRING},
    {"FSCONFIG_SET_BINARY", FSCONFIG_SET_BINARY},
    {"FSCONFIG_SET_PATH", FSCONFIG_SET_PATH},
    {"FSCONFIG_SET_PATH_EMPTY", FSCONFIG_SET_PATH_EMPTY},
    {"FSCONFIG_SET_FD", FSCONFIG_SET_FD},
    {"FSCONFIG_CMD_CREATE", FSCONFIG_CMD_CREATE},
    {"FSCONFIG_CMD_RECONFIGURE", FSCONFIG_CMD_RECONFIGURE},
    {"FSCONFIG_CMD_CREATE_EXCL", vk_FSCONFIG_CMD_CREATE_EXCL},
    {"FSMOUNT_CLOEXEC", FSMOUNT_CLOEXEC},
    {"MOUNT_ATTR_RDONLY", MOUNT_ATTR_RDONLY},
    {"MOUNT_ATTR_NOSUID", MOUNT_ATTR_NOSUID},
    {"MOUNT_ATTR_NODEV", MOUNT_ATTR_NODEV},
    {"MOUNT_ATTR_NOEXEC", MOUNT_ATTR_NOEXEC},
    {"MOUNT_ATTR__ATIME", MOUNT_ATTR__ATIME},
    {"MOUNT_ATTR_RELATIME", MOUNT_ATTR_RELATIME},
    {"MOUNT_ATTR_NOATIME", MOUNT_ATTR_NOATIME},
    {"MOUNT_ATTR_STRICTATIME", MOUNT_ATTR_STRICTATIME},
    {"MOUNT_ATTR_NODIRATIME", MOUNT_ATTR_NODIRATIME},
    {"MOUNT_ATTR_IDMAP", MOUNT_ATTR_IDMAP},
    {"MOUNT_ATTR_NOSYMFOLLOW", MOUNT_ATTR_NOSYMFOLLOW},
    {"MOUNT_ATTR_SIZE_VER0", MOUNT_ATTR_SIZE_VER0},
    {"MOVE_MOUNT_F_SYMLINKS", MOVE_MOUNT_F_SYMLINKS},
    {"MOVE_MOUNT_F_AUTOMOUNTS", MOVE_MOUNT_F_AUTOMOUNTS},
    {"MOVE_MOUNT_F_EMPTY_PATH", MOVE_MOUNT_F_EMPTY_PATH},
    {"MOVE_MOUNT_T_SYMLINKS", MOVE_MOUNT_T_SYMLINKS},
    {"MOVE_MOUNT_T_AUTOMOUNTS", MOVE_MOUNT_T_AUTOMOUNTS},
    {"MOVE_MOUNT_T_EMPTY_PATH", MOVE_MOUNT_T_EMPTY_PATH},
    {"MOVE_MOUNT_SET_GROUP", MOVE_MOUNT_SET_GROUP},
    {"MOVE_MOUNT_BENEATH", MOVE_MOUNT_BENEATH},
    {"OPEN_TREE_CLONE", OPEN_TREE_CLONE},
    {"OPEN_TREE_CLOEXEC", OPEN_TREE_CLOEXEC},
    {"MS_UNBINDABLE", MS_UNBINDABLE},
    {"MS_PRIVATE", MS_PRIVATE},
    {"MS_SLAVE", MS_SLAVE},
    {"MS_SHARED", MS_SHARED},
};

static int fsmount_exec(PyObject *module)
{
    for (const auto &constant : fsmount_constants) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddIntConstant(module, constant.name, constant.value) < 0)
            return -1;
    }
    return 0;
}

static PyModuleDef_Slot fsmount_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(fsmount_exec)},
#ifdef Py_mod_multiple_interpreters
    // No state of its own: every interpreter, with its own GIL, may load it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyDoc_STRVAR(fsmount_module_doc, "Linux's file-descriptor mount API: fsopen, fspick, fsconfig, "
                                 "fsmount, open_tree, move_mount and mount_setattr.");

static struct PyModuleDef fsmount_module = {
    PyModuleDef_HEAD_INIT,
    "velkora.fsmount",
    fsmount_module_doc,
    0,
    fsmount_methods,
    fsmount_slots,
    nullptr,
    nullptr,
    nullptr,
};

// Python 3.8's PyMODINIT_FUNC does not mark the symbol visible, and the
// module is built with hidden visibility: say it here for every version.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_fsmount(void);

PyMODINIT_FUNC PyInit_fsmount(void)
{
    return PyModuleDef_Init(&fsmount_module);
}

// velkora.fsmount: fsconfig(2), whose arguments are checked against what
// each command takes before the kernel sees them.

#include "fsmount.h"

namespace fsmount {

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
    {FSCONFIG_CMD_CREATE_EXCL_, false, Value::none, Aux::zero},
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
        call->value = vk::fs_text(value_obj, &call->encoded);
        return call->value != nullptr;
    case Value::text:
        // A str or bytes (a layer path, a source): not any path-like object.
        if (!PyUnicode_Check(value_obj) && !PyBytes_Check(value_obj)) {
            PyErr_Format(PyExc_TypeError, "value must be str or bytes, not %.200s",
                         Py_TYPE(value_obj)->tp_name);
            return 0;
        }
        call->value = vk::fs_text(value_obj, &call->encoded);
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
    } else if (!vk::int_value(aux_obj, "aux", &call->aux)) {
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

static PyObject *fsmount_fsconfig(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"fs_fd", "cmd", "key", "value", "aux", nullptr};
    int fs_fd;
    unsigned int cmd;
    PyObject *key_obj = Py_None;
    PyObject *value_obj = Py_None;
    PyObject *aux_obj = Py_None;
    if (!vk::parse_args(args, kwargs, "O&O&|OOO:fsconfig", kwlist, vk::to_dirfd, &fs_fd, vk::to_u32,
                        &cmd, &key_obj, &value_obj, &aux_obj))
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

    long ret =
        vk::once([&] { return syscall(SYS_fsconfig, fs_fd, cmd, call.key, call.value, call.aux); });
    int saved_errno = errno;
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

PyMethodDef fsconfig_methods[] = {
    VK_METHOD(fsmount, fsconfig),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace fsmount

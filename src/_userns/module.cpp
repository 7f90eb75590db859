// velkora._userns: make(), a user namespace as an fd, made by a child that
// holds it while the caller writes its maps.

#include "userns.h"

#include <stdio.h>

namespace {

PyDoc_STRVAR(userns_make_doc,
             "make($module, /, write)\n"
             "--\n\n"
             "Make a user namespace: a child is cloned into a new one (CLONE_NEWUSER)\n"
             "with every signal held; write(pid) is called to give it its maps;\n"
             "/proc/PID/ns/user is opened (O_CLOEXEC); the child is let go and reaped\n"
             "through its pidfd. An Owner of the fd, which closes it when collected.\n"
             "Raises OSError (with no file name where the clone failed), or what write\n"
             "raised; either way no child is left and no fd open.");

PyObject *userns_make(PyObject *module, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"write", nullptr};
    PyObject *write = nullptr;
    if (!vk::parse_args(args, kwargs, "O:make", kwlist, &write))
        return nullptr;
    if (!PyCallable_Check(write)) {
        PyErr_Format(PyExc_TypeError, "write must be callable, not %.200s",
                     Py_TYPE(write)->tp_name);
        return nullptr;
    }
    userns::Holder h;
    if (vk::once([&h] { return static_cast<long>(userns::start(&h)); }) < 0)
        return vk::os_error(errno);
    long fd = -1;
    PyObject *written = PyObject_CallFunction(write, "l", h.pid);
    if (written != nullptr) {
        Py_DECREF(written);
        char path[64];
        PyOS_snprintf(path, sizeof path, "/proc/%ld/ns/user", h.pid);
        fd = vk::retrying([&path] { return static_cast<long>(open(path, O_RDONLY | O_CLOEXEC)); });
        if (fd < 0 && fd != vk::RAISED) {
            int open_errno = errno;
            PyObject *name = PyUnicode_DecodeFSDefault(path);
            if (name != nullptr)
                vk::os_error(open_errno, name);
            Py_XDECREF(name);
        }
    }
    vk::once([&h] {
        userns::finish(&h);
        return 0L;
    });
    if (fd < 0)
        return nullptr;
    return userns::owned(module, static_cast<int>(fd));
}

PyDoc_STRVAR(userns_run_doc,
             "run($module, /, path, argv)\n"
             "--\n\n"
             "Run the program at path with argv (a list of bytes), the caller's\n"
             "environment, stdin and stdout and no other fd, every signal unblocked,\n"
             "SIGPIPE and SIGXFSZ at their defaults (as subprocess sets them); its\n"
             "stderr is read (the first 2 KiB kept) and it is reaped through its\n"
             "pidfd, whatever signal comes meanwhile. (wait status, the exec's errno\n"
             "or 0, stderr). Raises OSError where no child could be made.");

// A null-terminated array of the bytes in a list (kept alive by the list);
// null with an exception.
char **strings_of(PyObject *list)
{
    if (!PyList_Check(list)) {
        PyErr_Format(PyExc_TypeError, "argv must be a list of bytes, not %.200s",
                     Py_TYPE(list)->tp_name);
        return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(list);
    auto **out = static_cast<char **>(PyMem_Malloc(sizeof(char *) * static_cast<size_t>(n + 1)));
    if (out == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (!PyBytes_Check(item) ||
            strlen(PyBytes_AS_STRING(item)) != static_cast<size_t>(PyBytes_GET_SIZE(item))) {
            PyErr_SetString(PyExc_TypeError, "argv must be a list of bytes without NUL");
            PyMem_Free(static_cast<void *>(out));
            return nullptr;
        }
        out[i] = PyBytes_AS_STRING(item);
    }
    out[n] = nullptr;
    return out;
}

PyObject *userns_run(PyObject * /*module*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", "argv", nullptr};
    PyObject *path = nullptr;
    PyObject *argv_list = nullptr;
    if (!vk::parse_args(args, kwargs, "O&O!:run", kwlist, vk::to_path, &path, &PyList_Type,
                        &argv_list))
        return nullptr;
    // A copy: the list's items stay as they are while the child starts.
    PyObject *argv_copy = PyList_GetSlice(argv_list, 0, PyList_GET_SIZE(argv_list));
    char **argv = argv_copy == nullptr ? nullptr : strings_of(argv_copy);
    auto *out = static_cast<userns::Outcome *>(PyMem_RawCalloc(1, sizeof(userns::Outcome)));
    PyObject *result = nullptr;
    if (argv != nullptr && out == nullptr)
        PyErr_NoMemory();
    if (argv != nullptr && out != nullptr) {
        const char *file = PyBytes_AS_STRING(path);
        if (vk::once([&] { return static_cast<long>(userns::run_helper(file, argv, out)); }) < 0)
            vk::os_error(errno, path);
        else
            result = Py_BuildValue("(iiy#)", out->status, out->exec_errno, out->text,
                                   static_cast<Py_ssize_t>(out->said));
    }
    PyMem_RawFree(out);
    PyMem_Free(static_cast<void *>(argv));
    Py_XDECREF(argv_copy);
    Py_DECREF(path);
    return result;
}

PyMethodDef userns_methods[] = {
    VK_METHOD(userns, make),
    VK_METHOD(userns, run),
    {nullptr, nullptr, 0, nullptr},
};

int userns_exec(PyObject *module)
{
    PyObject *type = PyType_FromSpec(userns::owner_spec());
    Py_XINCREF(type);
    userns::state_of(module)->owner_type = type;
    if (vk::add_object(module, "Owner", type) < 0)
        return -1;
    return PyModule_AddFunctions(module, userns_methods);
}

PyModuleDef_Slot userns_slots[] = VK_MODULE_SLOTS(userns_exec);

PyDoc_STRVAR(userns_module_doc,
             "User namespaces as fds, made by a short-lived child that holds each one\n"
             "while its maps are written.");

int userns_traverse(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(userns::state_of(module)->owner_type);
    return 0;
}

int userns_clear(PyObject *module)
{
    Py_CLEAR(userns::state_of(module)->owner_type);
    return 0;
}

void userns_free(void *module)
{
    (void)userns_clear(static_cast<PyObject *>(module));
}

PyModuleDef userns_module = {
    PyModuleDef_HEAD_INIT,
    "velkora._userns",
    userns_module_doc,
    sizeof(userns::ModuleState),
    nullptr,
    userns_slots,
    userns_traverse,
    userns_clear,
    userns_free,
};

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_userns, userns_module)

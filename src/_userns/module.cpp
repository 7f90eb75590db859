// velkora._userns: make(), a user namespace as an fd, made by a child that
// holds it while the caller writes its maps.

#include "userns.h"

#include <stdio.h>

namespace {

PyDoc_STRVAR(userns_make_doc,
             "make($module, /, write)\n"
             "--\n\n"
             "Make a user namespace and return an fd of it (O_CLOEXEC). A child is\n"
             "cloned into a new user namespace (CLONE_NEWUSER) with every signal held;\n"
             "write(pid) is called to give it its maps; /proc/PID/ns/user is opened;\n"
             "the child is let go and reaped through its pidfd. Raises OSError (with\n"
             "no file name where the clone failed), or what write raised; either way\n"
             "no child is left and no fd open.");

PyObject *userns_make(PyObject * /*module*/, PyObject *args, PyObject *kwargs)
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
    PyObject *result = PyLong_FromLong(fd);
    if (result == nullptr)
        vk::close_quietly(static_cast<int>(fd));
    return result;
}

PyMethodDef userns_methods[] = {
    VK_METHOD(userns, make),
    {nullptr, nullptr, 0, nullptr},
};

int userns_exec(PyObject *module)
{
    return PyModule_AddFunctions(module, userns_methods);
}

PyModuleDef_Slot userns_slots[] = VK_MODULE_SLOTS(userns_exec);

PyModuleDef userns_module =
    VK_MODULE_DEF("velkora._userns",
                  "User namespaces as fds, made by a short-lived child that holds each one\n"
                  "while its maps are written.",
                  userns_slots);

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_userns, userns_module)

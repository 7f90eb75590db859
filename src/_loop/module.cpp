// velkora._loop: loop devices, for velkora.loop: attach a backing file
// (attach.cpp), read a device's status, detach it.
//
// This file is the module: the calls on a device's fd, the constants, and
// the module state, which holds the Owner type (owner.cpp).

#include "loop.h"

#include <string.h>

namespace {

PyDoc_STRVAR(loop_detach_doc,
             "detach($module, fd, /)\n"
             "--\n\n"
             "Unbind the loop device open as fd from its backing file (LOOP_CLR_FD).\n\n"
             "On a device still in use the kernel only marks it to go when the last\n"
             "user closes it. Raises OSError on failure.");

PyObject *loop_detach(PyObject * /*self*/, PyObject *arg)
{
    int fd;
    if (!vk::to_fd(arg, &fd))
        return nullptr;
    return loop::none_or_error(loop::ioctl_retrying(fd, LOOP_CLR_FD, 0));
}

PyDoc_STRVAR(loop_status_doc,
             "status($module, fd, /)\n"
             "--\n\n"
             "The loop device open as fd, as LOOP_GET_STATUS64 gives it: (number, device,\n"
             "inode, offset, size_limit, flags, file_name), where device and inode are the\n"
             "backing file's. Raises OSError on failure (ENXIO: nothing is attached).");

PyObject *loop_status(PyObject * /*self*/, PyObject *arg)
{
    int fd;
    struct loop_info64 info = {};
    if (!vk::to_fd(arg, &fd))
        return nullptr;
    long ret = loop::ioctl_retrying(fd, LOOP_GET_STATUS64, reinterpret_cast<unsigned long>(&info));
    if (ret < 0)
        return loop::path_error(ret, nullptr);
    const char *name = reinterpret_cast<const char *>(info.lo_file_name);
    return Py_BuildValue("(IKKKKIy#)", info.lo_number,
                         static_cast<unsigned long long>(info.lo_device),
                         static_cast<unsigned long long>(info.lo_inode),
                         static_cast<unsigned long long>(info.lo_offset),
                         static_cast<unsigned long long>(info.lo_sizelimit), info.lo_flags, name,
                         static_cast<Py_ssize_t>(strnlen(name, LO_NAME_SIZE)));
}

PyDoc_STRVAR(loop_set_autoclear_doc,
             "set_autoclear($module, fd, on, /)\n"
             "--\n\n"
             "Set or clear LO_FLAGS_AUTOCLEAR on the loop device open as fd\n"
             "(LOOP_GET_STATUS64, then LOOP_SET_STATUS64). Raises OSError on failure.");

PyObject *loop_set_autoclear(PyObject * /*self*/, PyObject *const *args, Py_ssize_t nargs)
{
    int fd;
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_autoclear expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    int on = PyObject_IsTrue(args[1]);
    if (on < 0 || !vk::to_fd(args[0], &fd))
        return nullptr;
    struct loop_info64 info = {};
    long ret = loop::ioctl_retrying(fd, LOOP_GET_STATUS64, reinterpret_cast<unsigned long>(&info));
    if (ret == 0) {
        info.lo_flags =
            on ? info.lo_flags | LO_FLAGS_AUTOCLEAR : info.lo_flags & ~LO_FLAGS_AUTOCLEAR;
        ret = loop::ioctl_retrying(fd, LOOP_SET_STATUS64, reinterpret_cast<unsigned long>(&info));
    }
    return loop::none_or_error(ret);
}

PyMethodDef loop_methods[] = {
    {"set_autoclear",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loop_set_autoclear)),
     METH_FASTCALL, loop_set_autoclear_doc},
    {"detach", loop_detach, METH_O, loop_detach_doc},
    {"status", loop_status, METH_O, loop_status_doc},
    {nullptr, nullptr, 0, nullptr},
};

const vk::IntConstant loop_constants[] = {
    {"LO_FLAGS_READ_ONLY", LO_FLAGS_READ_ONLY},
    {"LO_FLAGS_AUTOCLEAR", LO_FLAGS_AUTOCLEAR},
    {"LO_FLAGS_PARTSCAN", LO_FLAGS_PARTSCAN},
    {"LO_FLAGS_DIRECT_IO", LO_FLAGS_DIRECT_IO},
    {"LO_NAME_SIZE", LO_NAME_SIZE},
    {"LOOP_SET_FD", LOOP_SET_FD},
    {"LOOP_CLR_FD", LOOP_CLR_FD},
    {"LOOP_SET_STATUS64", LOOP_SET_STATUS64},
    {"LOOP_GET_STATUS64", LOOP_GET_STATUS64},
    {"LOOP_SET_DIRECT_IO", LOOP_SET_DIRECT_IO},
    {"LOOP_SET_BLOCK_SIZE", LOOP_SET_BLOCK_SIZE},
    {"LOOP_CONFIGURE", LOOP_CONFIGURE},
    {"LOOP_CTL_GET_FREE", LOOP_CTL_GET_FREE},
};

int loop_exec(PyObject *module)
{
    PyObject *type = PyType_FromSpec(loop::owner_spec());
    Py_XINCREF(type);
    loop::state_of(module)->owner_type = type;
    if (vk::add_object(module, "Owner", type) < 0 ||
        PyModule_AddFunctions(module, loop::attach_methods) < 0 ||
        PyModule_AddFunctions(module, loop::partition_methods) < 0)
        return -1;
    return vk::add_int_constants(module, loop_constants);
}

PyModuleDef_Slot loop_slots[] = VK_MODULE_SLOTS(loop_exec);

PyDoc_STRVAR(loop_module_doc,
             "Loop devices: attach a backing file, read a device's status, detach.");

int loop_traverse(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(loop::state_of(module)->owner_type);
    return 0;
}

int loop_clear(PyObject *module)
{
    Py_CLEAR(loop::state_of(module)->owner_type);
    return 0;
}

void loop_free(void *module)
{
    (void)loop_clear(static_cast<PyObject *>(module));
}

PyModuleDef loop_module = {
    PyModuleDef_HEAD_INIT,
    "velkora._loop",
    loop_module_doc,
    sizeof(loop::ModuleState),
    loop_methods,
    loop_slots,
    loop_traverse,
    loop_clear,
    loop_free,
};

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_loop, loop_module)

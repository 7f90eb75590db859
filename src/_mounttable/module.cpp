// velkora._mounttable: the mount table from the kernel itself, for
// velkora.mountinfo: through listmount(2) and statmount(2) (Linux 6.8+), or
// from a mountinfo text; with a path's mount id (statx(2)), mount(2) and
// umount2(2) on paths, and fanotify's mount events.
//
// This file is the module: each of the others gives a table of functions
// (see mounttable.h), added here as the module is made.

#include "mounttable.h"

namespace {

PyMethodDef *const function_tables[] = {
    mounttable::listmount_methods, mounttable::statmount_methods, mounttable::mountinfo_methods,
    mounttable::statx_methods,     mounttable::mountcall_methods, mounttable::fanotify_methods,
};

int mounttable_exec(PyObject *module)
{
    for (PyMethodDef *functions : function_tables) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddFunctions(module, functions) < 0)
            return -1;
    }
    return vk::add_object(module, "LSMT_ROOT", PyLong_FromUnsignedLongLong(mounttable::LSMT_ROOT));
}

PyModuleDef_Slot mounttable_slots[] = VK_MODULE_SLOTS(mounttable_exec);

PyModuleDef mounttable_module = {
    PyModuleDef_HEAD_INIT,
    "velkora._mounttable",
    "The mount table for velkora.mountinfo (listmount(2), statmount(2), or a\n"
    "mountinfo text), and a mount's id (statx(2)), mount(2) and umount2(2) on\n"
    "paths, and fanotify's mount events for the layers above.",
    0,
    nullptr,
    mounttable_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_mounttable, mounttable_module)

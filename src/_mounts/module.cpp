// velkora._mounts: the mount table from the kernel itself, for
// velkora.mountinfo: through listmount(2) and statmount(2) (Linux 6.8+), or
// from a mountinfo text; with a path's mount id (statx(2)), mount(2) and
// umount2(2) on paths, and fanotify's mount events.
//
// This file is the module: each of the others gives a table of functions
// (see mounts.h), added here as the module is made.

#include "mounts.h"

namespace {

PyMethodDef *const function_tables[] = {
    mounts::listmount_methods, mounts::statmount_methods, mounts::mountinfo_methods,
    mounts::statx_methods,     mounts::mountcall_methods, mounts::fanotify_methods,
};

int mounts_exec(PyObject *module)
{
    for (PyMethodDef *functions : function_tables) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddFunctions(module, functions) < 0)
            return -1;
    }
    if (mounts::add_flag_constants(module) < 0)
        return -1;
    return vk::add_object(module, "LSMT_ROOT", PyLong_FromUnsignedLongLong(LSMT_ROOT));
}

PyModuleDef_Slot mounts_slots[] = VK_MODULE_SLOTS(mounts_exec);

PyModuleDef mounts_module =
    VK_MODULE_DEF("velkora._mounts",
                  "The mount table for velkora.mountinfo (listmount(2), statmount(2), or a\n"
                  "mountinfo text), and a mount's id (statx(2)), mount(2) and umount2(2) on\n"
                  "paths, and fanotify's mount events for the layers above.",
                  mounts_slots);

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_mounts, mounts_module)

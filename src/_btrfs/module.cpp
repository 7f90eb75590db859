// velkora._btrfs: Btrfs subvolumes through the filesystem's ioctls, for
// velkora.btrfs: each call takes a path as the os module takes it, opens it
// for the one ioctl it makes, and names it in the OSError of a failure.
//
// This file is the module: each of the others gives a table of functions
// (see btrfs.h), added here as the module is made.

#include "btrfs.h"

namespace {

PyMethodDef *const function_tables[] = {
    btrfs::query_methods,
    btrfs::search_methods,
    btrfs::change_methods,
    btrfs::walk_methods,
};

const vk::IntConstant btrfs_constants[] = {
    {"BTRFS_SUPER_MAGIC", static_cast<long>(BTRFS_SUPER_MAGIC)},
    {"BTRFS_FS_TREE_OBJECTID", static_cast<long>(BTRFS_FS_TREE_OBJECTID)},
    {"BTRFS_FIRST_FREE_OBJECTID", static_cast<long>(BTRFS_FIRST_FREE_OBJECTID)},
    {"BTRFS_SUBVOL_RDONLY", static_cast<long>(BTRFS_SUBVOL_RDONLY)},
};

int btrfs_exec(PyObject *module)
{
    for (PyMethodDef *functions : function_tables) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddFunctions(module, functions) < 0)
            return -1;
    }
    return vk::add_int_constants(module, btrfs_constants);
}

PyModuleDef_Slot btrfs_slots[] = VK_MODULE_SLOTS(btrfs_exec);

PyModuleDef btrfs_module = {
    PyModuleDef_HEAD_INIT,
    "velkora._btrfs",
    "Btrfs subvolumes through the filesystem's ioctls, for velkora.btrfs: each\n"
    "call takes a path as the os module takes it and names it in an OSError.",
    0,
    nullptr,
    btrfs_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_btrfs, btrfs_module)

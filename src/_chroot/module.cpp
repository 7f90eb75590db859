// velkora._chroot: the native part of velkora.chroot. A root's mounts made
// from a plan (setup), a command started inside a root (spawn), and paths
// looked up inside a root (resolve). The plan's steps are in setup.cpp and
// plan.cpp, the child in spawn.cpp.

#include "chroot.h"

namespace rooted {

static const vk::IntConstant constants[] = {
    {"KIND_FS", KIND_FS},     {"KIND_BIND", KIND_BIND}, {"KIND_DIR", KIND_DIR},
    {"KIND_FILE", KIND_FILE}, {"KIND_LINK", KIND_LINK}, {"KIND_RESOLV", KIND_RESOLV},
};

static int chroot_exec(PyObject *module)
{
    if (PyModule_AddFunctions(module, setup_methods) < 0 ||
        PyModule_AddFunctions(module, spawn_methods) < 0 ||
        PyModule_AddFunctions(module, places_methods) < 0)
        return -1;
    return vk::add_int_constants(module, constants);
}

static PyModuleDef_Slot chroot_slots[] = VK_MODULE_SLOTS(chroot_exec);

static PyModuleDef chroot_module = VK_MODULE_DEF(
    "velkora._chroot",
    "The native part of velkora.chroot: mounts made under a root, and commands started in it.",
    chroot_slots);

} // namespace rooted

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_chroot, rooted::chroot_module)

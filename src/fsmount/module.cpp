// velkora.fsmount: Linux's file-descriptor mount API for Python.
//
// fsopen(2), fspick(2), fsconfig(2), fsmount(2), open_tree(2), move_mount(2)
// and mount_setattr(2), each with the kernel's arguments in the kernel's
// order. Arguments are checked before the call, the interpreter lock is
// dropped for exactly the system call, and a failure becomes the OSError
// subclass of its errno; after a failing fsconfig or fsmount the messages the
// kernel queued on the filesystem context come along on the exception.
//
// This file is the module; the calls are in the files fsmount.h names.

#include "fsmount.h"

namespace {

PyMethodDef *const function_tables[] = {fsmount::calls_methods, fsmount::fsconfig_methods};

const vk::IntConstant fsmount_constants[] = {
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
    {"FSCONFIG_CMD_CREATE_EXCL", FSCONFIG_CMD_CREATE_EXCL_},
    {"FSMOUNT_CLOEXEC", FSMOUNT_CLOEXEC},
    {"FSMOUNT_NAMESPACE", FSMOUNT_NAMESPACE},
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
    {"OPEN_TREE_NAMESPACE", OPEN_TREE_NAMESPACE},
    {"MS_UNBINDABLE", MS_UNBINDABLE},
    {"MS_PRIVATE", MS_PRIVATE},
    {"MS_SLAVE", MS_SLAVE},
    {"MS_SHARED", MS_SHARED},
};

int fsmount_exec(PyObject *module)
{
    for (PyMethodDef *functions : function_tables) {
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddFunctions(module, functions) < 0)
            return -1;
    }
    return vk::add_int_constants(module, fsmount_constants);
}

PyModuleDef_Slot fsmount_slots[] = VK_MODULE_SLOTS(fsmount_exec);

PyDoc_STRVAR(fsmount_module_doc, "Linux's file-descriptor mount API: fsopen, fspick, fsconfig, "
                                 "fsmount, open_tree, move_mount and mount_setattr.");

PyModuleDef fsmount_module = VK_MODULE_DEF("velkora.fsmount", fsmount_module_doc, fsmount_slots);

} // namespace

VK_MODULE_INIT(fsmount, fsmount_module)

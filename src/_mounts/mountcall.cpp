// velkora._mounts: mount(2) and umount2(2) for the layers above
// velkora.mount, whose str-only arguments are its contract: here paths are
// what the os module takes (str through the filesystem encoding, bytes,
// os.PathLike), and a failure names the path. Neither retries after EINTR.
// With them, the numbers of their flags (MS_*, MNT_*, UMOUNT_NOFOLLOW), the
// one home of those numbers for velkora.flags and the layers above.

#include "mounts.h"

namespace mounts {

static const vk::IntConstant flag_constants[] = {
    {"MS_RDONLY", MS_RDONLY},
    {"MS_NOSUID", MS_NOSUID},
    {"MS_NODEV", MS_NODEV},
    {"MS_NOEXEC", MS_NOEXEC},
    {"MS_SYNCHRONOUS", MS_SYNCHRONOUS},
    {"MS_REMOUNT", MS_REMOUNT},
    {"MS_MANDLOCK", MS_MANDLOCK},
    {"MS_DIRSYNC", MS_DIRSYNC},
    {"MS_NOSYMFOLLOW", MS_NOSYMFOLLOW},
    {"MS_NOATIME", MS_NOATIME},
    {"MS_NODIRATIME", MS_NODIRATIME},
    {"MS_BIND", MS_BIND},
    {"MS_MOVE", MS_MOVE},
    {"MS_REC", MS_REC},
    {"MS_SILENT", MS_SILENT},
    {"MS_VERBOSE", MS_VERBOSE},
    {"MS_POSIXACL", MS_POSIXACL},
    {"MS_UNBINDABLE", MS_UNBINDABLE},
    {"MS_PRIVATE", MS_PRIVATE},
    {"MS_SLAVE", MS_SLAVE},
    {"MS_SHARED", MS_SHARED},
    {"MS_RELATIME", MS_RELATIME},
    {"MS_KERNMOUNT", MS_KERNMOUNT},
    {"MS_I_VERSION", MS_I_VERSION},
    {"MS_STRICTATIME", MS_STRICTATIME},
    {"MS_LAZYTIME", MS_LAZYTIME},
    {"MS_SUBMOUNT", MS_SUBMOUNT},
    {"MS_NOREMOTELOCK", MS_NOREMOTELOCK},
    {"MS_NOSEC", MS_NOSEC},
    {"MS_BORN", MS_BORN},
    {"MS_ACTIVE", MS_ACTIVE},
    {"MS_NOUSER", static_cast<long>(static_cast<unsigned int>(MS_NOUSER))},
    {"MNT_FORCE", MNT_FORCE},
    {"MNT_DETACH", MNT_DETACH},
    {"MNT_EXPIRE", MNT_EXPIRE},
    {"UMOUNT_NOFOLLOW", UMOUNT_NOFOLLOW},
};

int add_flag_constants(PyObject *module)
{
    return vk::add_int_constants(module, flag_constants);
}

PyDoc_STRVAR(mounts_mount_doc,
             "mount($module, /, source, target, fstype='', flags=0, data='')\n--\n\n"
             "Calls mount(2); source and target are paths (str, bytes or os.PathLike),\n"
             "fstype and data text. Raises OSError naming target on failure.");

static PyObject *mounts_mount(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"source", "target", "fstype", "flags", "data", nullptr};
    PyObject *source = nullptr;
    PyObject *target_obj;
    const char *fstype = "";
    unsigned long flags = 0;
    const char *data = "";
    if (!vk::parse_args(args, kwargs, "O&O|sks:mount", kwlist, vk::to_path, &source, &target_obj,
                        &fstype, &flags, &data))
        return nullptr;
    PyObject *encoded;
    const char *target = vk::fs_text(target_obj, &encoded);
    if (target == nullptr) {
        Py_DECREF(source);
        return nullptr;
    }
    const char *from = PyBytes_AS_STRING(source);
    const void *options = *data != '\0' ? data : nullptr;
    long ret =
        vk::once([&] { return static_cast<long>(mount(from, target, fstype, flags, options)); });
    Py_DECREF(source);
    Py_DECREF(encoded);
    if (ret != 0)
        return vk::call_error(ret, target_obj);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(mounts_umount_doc, "umount($module, /, target, flags=0)\n--\n\n"
                                "Calls umount2(2); target is a path (str, bytes or os.PathLike).\n"
                                "Raises OSError naming target on failure.");

static PyObject *mounts_umount(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"target", "flags", nullptr};
    PyObject *target_obj;
    int flags = 0;
    if (!vk::parse_args(args, kwargs, "O|i:umount", kwlist, &target_obj, &flags))
        return nullptr;
    PyObject *encoded;
    const char *target = vk::fs_text(target_obj, &encoded);
    if (target == nullptr)
        return nullptr;
    long ret = vk::once([&] { return static_cast<long>(umount2(target, flags)); });
    Py_DECREF(encoded);
    if (ret != 0)
        return vk::call_error(ret, target_obj);
    Py_RETURN_NONE;
}

PyMethodDef mountcall_methods[] = {
    VK_METHOD(mounts, mount),
    VK_METHOD(mounts, umount),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace mounts

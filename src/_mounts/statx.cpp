// velkora._mounts: the mount that holds a path, by the id statx(2)
// gives: mount_id(), for velkora.mountinfo.mount_at and velkora.mounted.

#include "mounts.h"

#include <fcntl.h>
#include <linux/stat.h>

namespace mounts {

// STATX_MNT_ID_UNIQUE (6.8), which older headers lack.
static const unsigned int MNT_ID_UNIQUE = 0x4000U;

PyDoc_STRVAR(mounts_mount_id_doc,
             "mount_id($module, /, path, unique=False)\n--\n\n"
             "The id of the mount that holds path now, as mountinfo numbers it (with\n"
             "unique, the 64-bit id statmount takes), or None where the kernel does not\n"
             "say (before 5.8, or 6.8 for the unique id). Needs no fd, so nothing can be\n"
             "left open. Calls statx(2). Raises OSError on failure.");

static PyObject *mounts_mount_id(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", "unique", nullptr};
    PyObject *path_obj;
    int unique = 0;
    if (!vk::parse_args(args, kwargs, "O|p:mount_id", kwlist, &path_obj, &unique))
        return nullptr;
    PyObject *encoded;
    const char *path = vk::fs_text(path_obj, &encoded);
    if (path == nullptr)
        return nullptr;
    struct statx st = {};
    unsigned int want = unique != 0 ? MNT_ID_UNIQUE : STATX_MNT_ID;
    long ret =
        vk::retrying([&] { return vk::statx_call(AT_FDCWD, path, AT_NO_AUTOMOUNT, want, &st); });
    Py_DECREF(encoded);
    if (ret != 0)
        return vk::call_error(ret, path_obj);
    // Some emulators (qemu-user 7.2) pass the mask on but not the id.
    if ((st.stx_mask & want) == 0 || st.stx_mnt_id == 0)
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(st.stx_mnt_id);
}

PyMethodDef statx_methods[] = {
    VK_METHOD(mounts, mount_id),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace mounts

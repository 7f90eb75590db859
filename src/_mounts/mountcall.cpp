// velkora._mounts: mount(2) and umount2(2) for the layers above
// velkora.mount, whose str-only arguments are its contract: here paths are
// what the os module takes (str through the filesystem encoding, bytes,
// os.PathLike), and a failure names the path. Neither retries after EINTR.

#include "mounts.h"

// The C library's, as <sys/mount.h> declares them (its MS_* macros would
// clash with the names statmount.cpp gives the propagation bits).
extern "C" int mount(const char *source, const char *target, const char *fstype,
                     unsigned long flags, const void *data);
extern "C" int umount2(const char *target, int flags);

namespace mounts {

PyDoc_STRVAR(mounts_mount_doc,
             "mount(source, target, fstype: str = '', flags: int = 0, data: str = '') -> None\n\n"
             "Calls mount(2); source and target are paths (str, bytes or os.PathLike),\n"
             "fstype and data text. Raises OSError naming target on failure.");

static PyObject *mounts_mount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"source", "target", "fstype", "flags", "data", nullptr};
    PyObject *source = nullptr;
    PyObject *target_obj;
    const char *fstype = "";
    unsigned long flags = 0;
    const char *data = "";
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O|sks:mount", const_cast<char **>(kwlist),
                                     vk::to_path, &source, &target_obj, &fstype, &flags, &data))
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

PyDoc_STRVAR(mounts_umount_doc,
             "umount(target, flags: int = 0) -> None\n\n"
             "Calls umount2(2); target is a path (str, bytes or os.PathLike).\n"
             "Raises OSError naming target on failure.");

static PyObject *mounts_umount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"target", "flags", nullptr};
    PyObject *target_obj;
    int flags = 0;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|i:umount", const_cast<char **>(kwlist),
                                     &target_obj, &flags))
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

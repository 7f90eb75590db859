// velkora.mount: Linux mount(2) and umount2(2) for Python, and nothing else.
//
// Each function parses its arguments, drops the interpreter lock for exactly
// the system call, and turns a failure into OSError from the call's errno.
// Paths are not checked, flags are not interpreted, nothing is retried: what
// the caller passes is what the kernel receives.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <sys/mount.h>

// The end of every call: None, or OSError from the errno that the system call
// left, taken at once, so that nothing the interpreter does while it takes the
// lock back can replace the kernel's answer.
static PyObject *call_result(int ret, int saved_errno)
{
    if (ret != 0) {
        errno = saved_errno;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(velkora_mount_doc,
             "mount(source: str, target: str, fstype: str = \"btrfs\", flags: int = 0, "
             "data: str = \"\") -> None\n\nMount a filesystem.\n\n"
             "Calls mount(2). Raises OSError on failure.");

static PyObject *velkora_mount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"source", "target", "fstype", "flags", "data", nullptr};
    const char *source;
    const char *target;
    const char *fstype = "btrfs";
    unsigned long flags = 0;
    // Never a null pointer: filesystems that parse options expect a string.
    const char *data = "";
    int ret;
    int saved_errno;

    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|sks:mount", const_cast<char **>(kwlist),
                                     &source, &target, &fstype, &flags, &data))
        return nullptr;

    Py_BEGIN_ALLOW_THREADS
        ret = mount(source, target, fstype, flags, data);
        saved_errno = errno;
    Py_END_ALLOW_THREADS

    return call_result(ret, saved_errno);
}

PyDoc_STRVAR(velkora_umount_doc,
             "umount(target: str, flags: int = 0) -> None\n\nUnmount a filesystem.\n\n"
             "Calls umount2(2). Raises OSError on failure.");

static PyObject *velkora_umount(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"target", "flags", nullptr};
    const char *target;
    // umount2(2) takes an int: out-of-range flags are refused, not wrapped.
    int flags = 0;
    int ret;
    int saved_errno;

    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|i:umount", const_cast<char **>(kwlist),
                                     &target, &flags))
        return nullptr;

    Py_BEGIN_ALLOW_THREADS
        // umount2 with flags 0 is plain umount(2); one entry point serves both.
        ret = umount2(target, flags);
        saved_errno = errno;
    Py_END_ALLOW_THREADS

    return call_result(ret, saved_errno);
}

static PyMethodDef mount_methods[] = {
    {"mount", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(velkora_mount)),
     METH_VARARGS | METH_KEYWORDS, velkora_mount_doc},
    {"umount", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(velkora_umount)),
     METH_VARARGS | METH_KEYWORDS, velkora_umount_doc},
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef mount_module = {
    PyModuleDef_HEAD_INIT,
    "velkora.mount",
    "Low-level mount/umount helpers.",
    -1,
    mount_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The kernel's values, fixed by its ABI; glibc's names are used so that a
// typo cannot slip through, and the numbers are pinned here as well.
static_assert(MS_RDONLY == 1 && MS_NOSUID == 2 && MS_NODEV == 4 && MS_NOEXEC == 8 &&
                  MS_REMOUNT == 32 && MS_BIND == 4096 && MS_REC == 16384,
              "mount flags differ from Linux's");
static_assert(MNT_FORCE == 1 && MNT_DETACH == 2 && MNT_EXPIRE == 4,
              "unmount flags differ from Linux's");

static const struct {
    const char *name;
    long value;
} mount_constants[] = {
    {"MS_RDONLY", MS_RDONLY},   {"MS_NOSUID", MS_NOSUID},   {"MS_NODEV", MS_NODEV},
    {"MS_NOEXEC", MS_NOEXEC},   {"MS_REMOUNT", MS_REMOUNT}, {"MS_BIND", MS_BIND},
    {"MS_REC", MS_REC},         {"MNT_FORCE", MNT_FORCE},   {"MNT_DETACH", MNT_DETACH},
    {"MNT_EXPIRE", MNT_EXPIRE},
};

// Python 3.8's PyMODINIT_FUNC does not mark the symbol visible, and the
// module is built with hidden visibility: say it here for every version.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_mount(void);

PyMODINIT_FUNC PyInit_mount(void)
{
    PyObject *module = PyModule_Create(&mount_module);
    if (module == nullptr)
        return nullptr;
#ifdef Py_GIL_DISABLED
    // The module keeps no state and touches no shared object without the
    // interpreter's own protection, so a free-threaded interpreter need not
    // turn the GIL back on for it.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    for (const auto &constant : mount_constants) {
        // Only an exhausted interpreter fails here. A module missing a flag
        // must not be handed out, and the MemoryError must reach the importer.
        // A plain loop: stopping at the first failure is its side effect.
        // cppcheck-suppress useStlAlgorithm
        if (PyModule_AddIntConstant(module, constant.name, constant.value) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

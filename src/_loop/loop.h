// velkora._loop's private header.
//
// The files, by concern:
//   module.cpp  the module: detach(), status(), set_autoclear(), constants
//   attach.cpp  attach(): a free device bound to a backing file
//   owner.cpp   Owner, the type that holds a device's fd
//   partition.cpp  add_partition(), del_partition(): BLKPG
//
// Every ioctl runs without the interpreter lock and is made again after
// EINTR unless a signal handler raised (vk::retrying): each call returns -1
// with errno set, or vk::RAISED with the handler's exception set.

#ifndef VELKORA_LOOP_H
#define VELKORA_LOOP_H

#include "velkora.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

// Newer than some headers the module builds against.
#ifndef LOOP_CONFIGURE
#define LOOP_CONFIGURE 0x4C0A
#endif

namespace loop {

struct ModuleState {
    PyObject *owner_type;
};

inline ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

inline long ioctl_retrying(int fd, unsigned long request, unsigned long arg)
{
    return vk::retrying([=] { return static_cast<long>(ioctl(fd, request, arg)); });
}

inline int open_retrying(const char *path, int flags)
{
    return static_cast<int>(
        vk::retrying([=] { return static_cast<long>(open(path, flags | O_CLOEXEC)); }));
}

// The error of a failed call (ret < 0), naming path where there is one:
// nothing new after vk::RAISED. Always null.
inline PyObject *path_error(long ret, const char *path)
{
    if (ret == vk::RAISED)
        return nullptr;
    if (path == nullptr)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
}

// None after a call that answered ret (0 or more), else its error.
inline PyObject *none_or_error(long ret)
{
    if (ret < 0)
        return path_error(ret, nullptr);
    Py_RETURN_NONE;
}

// Undoes a binding after a later step failed, keeping errno and any
// exception of that step (attach.cpp).
void unbind(int dev_fd);

// The Owner type (owner.cpp), and (owner, number) for dev_fd, made before
// anything else can run; if it cannot be made, the device is given back.
PyType_Spec *owner_spec();
PyObject *owned(PyObject *module, int dev_fd, int number);

extern PyMethodDef attach_methods[];
extern PyMethodDef partition_methods[];

} // namespace loop

#endif // VELKORA_LOOP_H

// velkora.fsmount's private header: the system call numbers and constants
// older headers lack, and what each file gives the others.
//
// The files, by concern:
//   module.cpp    the module: its constants and init
//   calls.cpp     fsopen, fspick, fsmount, open_tree, move_mount, mount_setattr
//   fsconfig.cpp  fsconfig, its arguments checked against each command
//   errors.cpp    OSError with the messages the kernel queued on a context
//
// The calls go through syscall(2) by number: the C library's wrappers are
// newer than the oldest C library the wheels run on.

#ifndef VELKORA_FSMOUNT_H
#define VELKORA_FSMOUNT_H

#include "velkora.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <sys/syscall.h>

// The mount calls' numbers and the flags newer than the headers: in velkora.h.

// An enumerator since 6.6, so no macro tells whether the header has it.
const unsigned int FSCONFIG_CMD_CREATE_EXCL_ = 8;

static_assert(FSCONFIG_SET_FLAG == 0 && FSCONFIG_SET_STRING == 1 && FSCONFIG_SET_BINARY == 2 &&
                  FSCONFIG_SET_PATH == 3 && FSCONFIG_SET_PATH_EMPTY == 4 && FSCONFIG_SET_FD == 5 &&
                  FSCONFIG_CMD_CREATE == 6 && FSCONFIG_CMD_RECONFIGURE == 7,
              "fsconfig commands differ from Linux's");
static_assert(sizeof(struct mount_attr) == MOUNT_ATTR_SIZE_VER0, "struct mount_attr is not VER0");

namespace fsmount {

// A str, as UTF-8 without NUL, borrowed from the object (which the caller
// holds through the argument tuple). Returns nullptr with an exception set.
inline const char *utf8_text(PyObject *obj, const char *what)
{
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr)
        return nullptr;
    if (strlen(text) != static_cast<size_t>(size)) {
        PyErr_Format(PyExc_ValueError, "embedded null character in %s", what);
        return nullptr;
    }
    return text;
}

// A path or a name that may be one: a str (through the filesystem encoding,
// so a surrogate escape is the byte it stands for, as os.fsencode makes it),

// OSError for a failed fsconfig or fsmount on fs_fd, with what the kernel
// queued there (errors.cpp). Always null.
PyObject *context_error(int saved_errno, int fs_fd, PyObject *filename);

// The module's functions, a table for each file.
extern PyMethodDef calls_methods[];
extern PyMethodDef fsconfig_methods[];

} // namespace fsmount

#endif // VELKORA_FSMOUNT_H

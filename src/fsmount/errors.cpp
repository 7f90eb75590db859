// velkora.fsmount: the errors of fsconfig(2) and fsmount(2), which carry
// the messages the kernel queued on the filesystem context.

#include "fsmount.h"

#include <stdio.h>

namespace fsmount {

// A kernel message is at most a few hundred bytes; the buffer must be larger
// than any, or the read fails with EMSGSIZE and the message stays queued.
static const size_t MESSAGE_BUFFER = 4096;
static const int MAX_MESSAGES = 64;

// Whether fd is a filesystem context, the only kind of fd whose messages may
// be read: any other fd's read would take the caller's data, or block.
static bool is_fs_context(int fd)
{
    char proc[40];
    char link[32];
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    long n = vk::once([&] { return static_cast<long>(readlink(proc, link, sizeof link - 1)); });
    if (n < 0)
        return false;
    link[n] = '\0';
    // The kernel names the anonymous inode "[fscontext]"; some have left out
    // the brackets.
    return strcmp(link, "anon_inode:[fscontext]") == 0 || strcmp(link, "anon_inode:fscontext") == 0;
}

// The messages the kernel queued on fs_fd, oldest first, each as it wrote
// it with its severity letter and without the newline; an empty tuple if it
// queued none or fs_fd is no filesystem context.
static PyObject *kernel_messages(int fs_fd)
{
    PyObject *messages = PyList_New(0);
    if (messages == nullptr)
        return nullptr;
    // The queue holds a handful; the bound only guards against a kernel that
    // would keep answering.
    for (int i = 0; i < MAX_MESSAGES && is_fs_context(fs_fd); i++) {
        char text[MESSAGE_BUFFER];
        long got = vk::once([&] { return static_cast<long>(read(fs_fd, text, sizeof text)); });
        // ENODATA ends the queue; any other error ends the reading too.
        if (got <= 0)
            break;
        if (text[got - 1] == '\n')
            got--;
        PyObject *message = PyUnicode_DecodeFSDefaultAndSize(text, got);
        if (message == nullptr || PyList_Append(messages, message) < 0) {
            Py_XDECREF(message);
            Py_DECREF(messages);
            return nullptr;
        }
        Py_DECREF(message);
    }
    PyObject *tuple = PyList_AsTuple(messages);
    Py_DECREF(messages);
    return tuple;
}

// OSError for a failed fsconfig or fsmount on fs_fd, carrying what the
// kernel queued there: as kernel_messages and, where there is any, in the
// text after the errno's own: "Invalid argument (kernel: e tmpfs: ...)".
PyObject *context_error(int saved_errno, int fs_fd, PyObject *filename)
{
    // A signal handler's exception comes first, as with every OSError.
    if (saved_errno == EINTR && PyErr_CheckSignals() != 0)
        return nullptr;
    PyObject *messages = kernel_messages(fs_fd);
    if (messages == nullptr)
        return nullptr;
    PyObject *text;
    if (PyTuple_GET_SIZE(messages) == 0) {
        text = PyUnicode_DecodeLocale(strerror(saved_errno), "surrogateescape");
    } else {
        PyObject *separator = PyUnicode_FromString("; ");
        PyObject *joined = separator != nullptr ? PyUnicode_Join(separator, messages) : nullptr;
        Py_XDECREF(separator);
        text = joined ? PyUnicode_FromFormat("%s (kernel: %U)", strerror(saved_errno), joined)
                      : nullptr;
        Py_XDECREF(joined);
    }
    if (text == nullptr) {
        Py_DECREF(messages);
        return nullptr;
    }
    // OSError(errno, strerror, filename) makes an instance of the errno's subclass.
    PyObject *exc = filename != nullptr
                        ? PyObject_CallFunction(PyExc_OSError, "iOO", saved_errno, text, filename)
                        : PyObject_CallFunction(PyExc_OSError, "iO", saved_errno, text);
    Py_DECREF(text);
    if (exc == nullptr) {
        Py_DECREF(messages);
        return nullptr;
    }
    int failed = PyObject_SetAttrString(exc, "kernel_messages", messages);
    Py_DECREF(messages);
    if (failed == 0)
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return nullptr;
}

} // namespace fsmount

// An fd owner: a type whose object holds one fd and closes it when it goes,
// quietly (an owner that an interrupt dropped on its way to the caller is no
// mistake of the caller's), with fileno() and close(). Each module that
// hands out such fds makes its own type from these parts, with its own name,
// docstring and message for a closed fd:
//
//   static PyObject *owner_fileno(PyObject *self, PyObject * /*unused*/)
//   {
//       return vk::owner_fileno(self, "I/O operation on a closed ... fd");
//   }
//   static PyMethodDef owner_methods[] = VK_OWNER_METHODS(owner_fileno);
//   static PyType_Slot owner_slots[] = VK_OWNER_SLOTS(owner_methods, owner_doc);
//   static PyType_Spec owner_type_spec = VK_OWNER_SPEC("velkora._x.Owner", owner_slots);
//
// The tables are static initializers, made before any interpreter can run
// the module, and never written after.

#ifndef VELKORA_COMMON_OWNER_H
#define VELKORA_COMMON_OWNER_H

#include "velkora.h"

namespace vk {

struct Owner {
    PyObject_HEAD int fd;
};

// A new owner of fd, an object of type; null with an exception, the fd then
// still the caller's.
inline Owner *new_owner(PyObject *type, int fd)
{
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    auto *owner = reinterpret_cast<Owner *>(tp->tp_alloc(tp, 0));
    if (owner != nullptr)
        owner->fd = fd;
    return owner;
}

inline void owner_close(Owner *owner)
{
    int fd = owner->fd;
    owner->fd = -1;
    if (fd >= 0)
        close_quietly(fd);
}

inline void owner_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    owner_close(reinterpret_cast<Owner *>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// The fd; ValueError with closed_message once closed.
inline PyObject *owner_fileno(PyObject *self, const char *closed_message)
{
    int fd = reinterpret_cast<Owner *>(self)->fd;
    if (fd < 0) {
        PyErr_SetString(PyExc_ValueError, closed_message);
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

inline PyObject *owner_close_method(PyObject *self, PyObject * /*unused*/)
{
    owner_close(reinterpret_cast<Owner *>(self));
    Py_RETURN_NONE;
}

PyDoc_STRVAR(owner_fileno_doc, "fileno($self, /)\n--\n\nThe fd; ValueError once closed.");
PyDoc_STRVAR(owner_close_doc, "close($self, /)\n--\n\nClose the fd; closing again does nothing.");

} // namespace vk

// The method table of an owner type whose fileno() is the module's own
// function fileno (a call of vk::owner_fileno with its message).
#define VK_OWNER_METHODS(fileno)                                                                   \
    {                                                                                              \
        {"fileno", fileno, METH_NOARGS, vk::owner_fileno_doc},                                     \
            {"close", vk::owner_close_method, METH_NOARGS, vk::owner_close_doc},                   \
        {                                                                                          \
            nullptr, nullptr, 0, nullptr                                                           \
        }                                                                                          \
    }

// The slots of an owner type: its dealloc, the methods and the docstring.
#define VK_OWNER_SLOTS(methods, doc)                                                               \
    {                                                                                              \
        {Py_tp_dealloc, reinterpret_cast<void *>(vk::owner_dealloc)}, {Py_tp_methods, methods},    \
            {Py_tp_doc, const_cast<char *>(doc)},                                                  \
        {                                                                                          \
            0, nullptr                                                                             \
        }                                                                                          \
    }

// The PyType_Spec of the owner type named name (the module's dotted name), with
// the slots VK_OWNER_SLOTS made.
#define VK_OWNER_SPEC(name, slots) {name, sizeof(vk::Owner), 0, Py_TPFLAGS_DEFAULT, slots}

#endif // VELKORA_COMMON_OWNER_H

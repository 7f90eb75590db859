// velkora._userns: Owner, a user namespace's fd that is closed when the
// object goes, quietly: an owner that an interrupt dropped on its way to
// the caller is no mistake of the caller's.

#include "userns.h"

namespace userns {

namespace {
struct Owner {
    PyObject_HEAD int fd;
};
} // namespace

static void owner_close(Owner *owner)
{
    int fd = owner->fd;
    owner->fd = -1;
    if (fd >= 0)
        vk::close_quietly(fd);
}

static void owner_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    owner_close(reinterpret_cast<Owner *>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyDoc_STRVAR(owner_fileno_doc, "fileno($self, /)\n--\n\nThe fd; ValueError once closed.");

static PyObject *owner_fileno(PyObject *self, PyObject * /*unused*/)
{
    int fd = reinterpret_cast<Owner *>(self)->fd;
    if (fd < 0) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed user namespace fd");
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

PyDoc_STRVAR(owner_close_doc, "close($self, /)\n--\n\nClose the fd; closing again does nothing.");

static PyObject *owner_close_method(PyObject *self, PyObject * /*unused*/)
{
    owner_close(reinterpret_cast<Owner *>(self));
    Py_RETURN_NONE;
}

static PyMethodDef owner_methods[] = {
    {"fileno", owner_fileno, METH_NOARGS, owner_fileno_doc},
    {"close", owner_close_method, METH_NOARGS, owner_close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(owner_doc, "A user namespace's fd, closed when the object goes.");

static PyType_Slot owner_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(owner_dealloc)},
    {Py_tp_methods, owner_methods},
    {Py_tp_doc, const_cast<char *>(owner_doc)},
    {0, nullptr},
};

static PyType_Spec owner_type_spec = {
    "velkora._userns.Owner", sizeof(Owner), 0, Py_TPFLAGS_DEFAULT, owner_slots,
};

PyObject *owned(PyObject *module, int fd)
{
    auto *type = reinterpret_cast<PyTypeObject *>(state_of(module)->owner_type);
    auto *owner = reinterpret_cast<Owner *>(type->tp_alloc(type, 0));
    if (owner == nullptr) {
        vk::close_quietly(fd);
        return nullptr;
    }
    owner->fd = fd;
    return reinterpret_cast<PyObject *>(owner);
}

PyType_Spec *owner_spec()
{
    return &owner_type_spec;
}

} // namespace userns

// velkora._loop: Owner, an fd that is closed when the object goes, quietly:
// an owner that an interrupt dropped on its way to the caller is no mistake
// of the caller's. The type's parts are the common fd owner's (owner.h).

#include "owner.h"
#include "loop.h"

namespace loop {

static PyObject *owner_fileno(PyObject *self, PyObject * /*unused*/)
{
    return vk::owner_fileno(self, "I/O operation on a closed loop device fd");
}

static PyMethodDef owner_methods[] = VK_OWNER_METHODS(owner_fileno);

PyDoc_STRVAR(owner_doc, "A loop device's fd, closed when the object goes.");

static PyType_Slot owner_slots[] = VK_OWNER_SLOTS(owner_methods, owner_doc);

static PyType_Spec owner_type_spec = VK_OWNER_SPEC("velkora._loop.Owner", owner_slots);

// (owner, number), the owner holding dev_fd, made before anything else can
// run; if it or the tuple cannot be made, the device is given back at once.
PyObject *owned(PyObject *module, int dev_fd, int number)
{
    vk::Owner *owner = vk::new_owner(state_of(module)->owner_type, dev_fd);
    PyObject *result = owner != nullptr ? Py_BuildValue("(Oi)", owner, number) : nullptr;
    if (result == nullptr) {
        unbind(dev_fd);
        if (owner == nullptr)
            vk::close_quietly(dev_fd);
    }
    Py_XDECREF(owner); // the tuple holds it, or it closes the fd
    return result;
}

PyType_Spec *owner_spec()
{
    return &owner_type_spec;
}

} // namespace loop

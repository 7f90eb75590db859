// velkora._userns: Owner, a user namespace's fd that is closed when the
// object goes, quietly: an owner that an interrupt dropped on its way to
// the caller is no mistake of the caller's. The type's parts are the common
// fd owner's (owner.h).

#include "owner.h"
#include "userns.h"

namespace userns {

static PyObject *owner_fileno(PyObject *self, PyObject * /*unused*/)
{
    return vk::owner_fileno(self, "I/O operation on a closed user namespace fd");
}

static PyMethodDef owner_methods[] = VK_OWNER_METHODS(owner_fileno);

PyDoc_STRVAR(owner_doc, "A user namespace's fd, closed when the object goes.");

static PyType_Slot owner_slots[] = VK_OWNER_SLOTS(owner_methods, owner_doc);

static PyType_Spec owner_type_spec = VK_OWNER_SPEC("velkora._userns.Owner", owner_slots);

PyObject *owned(PyObject *module, int fd)
{
    vk::Owner *owner = vk::new_owner(state_of(module)->owner_type, fd);
    if (owner == nullptr)
        vk::close_quietly(fd);
    return reinterpret_cast<PyObject *>(owner);
}

PyType_Spec *owner_spec()
{
    return &owner_type_spec;
}

} // namespace userns

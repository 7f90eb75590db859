// velkora._guard: Guard, the base of velkora's context managers that must
// leave nothing behind (velkora.mounted).
//
// A context manager written in Python cannot be left reliably: a signal
// handler's exception (Ctrl-C) can be raised as its __exit__ begins, before
// its first statement, and the with statement then goes on without the
// clean-up ever having run. Guard's __exit__ is C: the with statement calls
// it without starting a Python frame, and it calls self._leave(False), the
// subclass's clean-up; if that ends in anything but OSError (an interrupt,
// wherever it landed), self._leave(True) finishes the job, doing only what
// the first run left undone, and the first exception is raised after.
//
// It calls nothing of the C library; the build links the C library all the
// same (NEEDED libc.so.6), as every wheel's extension must.

#include "velkora.h"

// the first exception again, or where the clean-up failed too, its error
// with the first as context. Always null.
static PyObject *clean_up_and_raise(PyObject *self, const char *method, PyObject *arg)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *done = arg != nullptr ? PyObject_CallMethod(self, method, "O", arg)
                                    : PyObject_CallMethod(self, method, nullptr);
    if (done != nullptr) {
        Py_DECREF(done);
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *type2 = nullptr;
    PyObject *value2 = nullptr;
    PyObject *traceback2 = nullptr;
    PyErr_Fetch(&type2, &value2, &traceback2);
    PyErr_NormalizeException(&type2, &value2, &traceback2);
    if (value != nullptr && traceback != nullptr)
        PyException_SetTraceback(value, traceback);
    if (value2 != nullptr && value != nullptr)
        PyException_SetContext(value2, value); // steals value
    else
        Py_XDECREF(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(type2, value2, traceback2);
    return nullptr;
}

PyDoc_STRVAR(guard_enter_doc, "__enter__($self, /)\n--\n\n"
                              "Return self._enter(); where it fails or is interrupted, run\n"
                              "self._undo() first.");

static PyObject *guard_enter(PyObject *self, PyObject *args)
{
    (void)args;
    // C, so that nothing can fall between what _enter made and the with
    // statement's taking charge of it (a Python __enter__ returning from a
    // try block can be interrupted after the block ends, before it returns).
    PyObject *result = PyObject_CallMethod(self, "_enter", nullptr);
    if (result != nullptr) {
        // A signal that came while it ran is handled here, where what was made
        // can still be undone: the interpreter (3.12 and later) would run its
        // handler as the call returns, before the with statement takes charge.
        if (PyErr_CheckSignals() == 0)
            return result;
        Py_DECREF(result);
    }
    return clean_up_and_raise(self, "_undo", nullptr);
}

PyDoc_STRVAR(guard_exit_doc, "__exit__($self, exc_type, exc, traceback, /)\n--\n\n"
                             "Run self._leave() to the end; never suppresses an exception.");

static PyObject *guard_exit(PyObject *self, PyObject *args)
{
    (void)args;
    PyObject *done = PyObject_CallMethod(self, "_leave", "O", Py_False);
    if (done == nullptr && !PyErr_ExceptionMatches(PyExc_OSError)) {
        // Interrupted: finish the clean-up, then raise what interrupted it.
        return clean_up_and_raise(self, "_leave", Py_True);
    }
    if (done == nullptr)
        return nullptr;
    Py_DECREF(done);
    Py_RETURN_FALSE;
}

static PyMethodDef guard_methods[] = {
    {"__enter__", guard_enter, METH_NOARGS, guard_enter_doc},
    {"__exit__", guard_exit, METH_VARARGS, guard_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(guard_doc, "Guard()\n--\n\n"
                        "A base for context managers whose clean-up must run: subclasses define\n"
                        "_enter(), _undo() (run where _enter fails or is interrupted) and\n"
                        "_leave(again), run again with again=True after an interrupt.");

static PyType_Slot guard_slots[] = {
    {Py_tp_methods, guard_methods},
    {Py_tp_doc, const_cast<char *>(guard_doc)},
    {0, nullptr},
};

static PyType_Spec guard_spec = {
    "velkora._guard.Guard",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    guard_slots,
};

static int guard_exec(PyObject *module)
{
    return vk::add_object(module, "Guard", PyType_FromSpec(&guard_spec));
}

static PyModuleDef_Slot guard_module_slots[] = VK_MODULE_SLOTS(guard_exec);

static PyModuleDef guard_module =
    VK_MODULE_DEF("velkora._guard",
                  "Guard, the base class of velkora's context managers whose clean-up must run.",
                  guard_module_slots);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
VK_MODULE_INIT(_guard, guard_module)

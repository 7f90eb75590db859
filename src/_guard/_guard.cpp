// velkora._guard: the base of velkora's context managers that must leave
// nothing behind.
//
// A context manager written in Python cannot be left reliably: a signal
// handler's exception (Ctrl-C) can be raised as its __exit__ begins, before
// its first statement, and the with statement then goes on without the
// clean-up ever having run. Guard's __exit__ is C: the with statement calls
// it without starting a Python frame, and it calls self._leave(False), the
// subclass's clean-up; if that ends in anything but OSError (an interrupt,
// wherever it landed), self._leave(True) finishes the job, doing only what
// the first run left undone, and the first exception is raised after.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {
struct ModuleState {
    PyObject *guard_type;
};
} // namespace

static ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

PyDoc_STRVAR(guard_exit_doc, "__exit__($self, exc_type, exc, traceback, /)\n--\n\n"
                             "Run self._leave() to the end; never suppresses an exception.");

static PyObject *guard_exit(PyObject *self, PyObject *args)
{
    (void)args;
    PyObject *done = PyObject_CallMethod(self, "_leave", "O", Py_False);
    if (done == nullptr && !PyErr_ExceptionMatches(PyExc_OSError)) {
        // Interrupted: finish the clean-up, then raise what interrupted it.
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        done = PyObject_CallMethod(self, "_leave", "O", Py_True);
        if (done == nullptr) {
            // The second try failed too: its error, with the first as context.
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
        Py_DECREF(done);
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    if (done == nullptr)
        return nullptr;
    Py_DECREF(done);
    Py_RETURN_FALSE;
}

static PyMethodDef guard_methods[] = {
    {"__exit__", guard_exit, METH_VARARGS, guard_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(guard_doc, "Guard()\n--\n\n"
                        "A base for context managers whose __exit__ must run: subclasses define\n"
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
    PyObject *type = PyType_FromSpec(&guard_spec);
    if (type == nullptr)
        return -1;
    state_of(module)->guard_type = type;
    Py_INCREF(type);
    if (PyModule_AddObject(module, "Guard", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

static int guard_traverse(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(state_of(module)->guard_type);
    return 0;
}

static int guard_clear(PyObject *module)
{
    Py_CLEAR(state_of(module)->guard_type);
    return 0;
}

static void guard_free(void *module)
{
    (void)guard_clear(static_cast<PyObject *>(module));
}

static PyModuleDef_Slot guard_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(guard_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyDoc_STRVAR(guard_module_doc, "A context manager base whose __exit__ runs to the end.");

static struct PyModuleDef guard_module = {
    PyModuleDef_HEAD_INIT, "velkora._guard", guard_module_doc, sizeof(ModuleState), nullptr,
    guard_module_slots,    guard_traverse,   guard_clear,      guard_free,
};

// Python 3.8's PyMODINIT_FUNC does not mark the symbol visible, and the
// module is built with hidden visibility: say it here for every version.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((visibility("default"))) PyObject *PyInit__guard(void);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__guard(void)
{
    return PyModuleDef_Init(&guard_module);
}

// velkora._chroot: a plan of steps from Python's tuples, made before any
// fork so that the child only reads it.

#include "chroot.h"

namespace rooted {

// The bytes' text, or null (None allowed where none is); -1 on a wrong type.
static int text_of(PyObject *obj, bool none_allowed, const char **out)
{
    if (obj == Py_None && none_allowed) {
        *out = nullptr;
        return 0;
    }
    if (!PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "a plan's paths are bytes, not %.100s",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    *out = PyBytes_AS_STRING(obj);
    return 0;
}

// The key, value pairs of a KIND_FS step, null-terminated.
static const char **params_of(PyObject *params)
{
    if (!PyTuple_Check(params)) {
        PyErr_SetString(PyExc_TypeError, "a step's parameters are a tuple");
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(params);
    auto **out = static_cast<const char **>(
        PyMem_Malloc(sizeof(const char *) * static_cast<size_t>((2 * n) + 1)));
    if (out == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *pair = PyTuple_GET_ITEM(params, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
            text_of(PyTuple_GET_ITEM(pair, 0), false, &out[2 * i]) < 0 ||
            text_of(PyTuple_GET_ITEM(pair, 1), true, &out[(2 * i) + 1]) < 0) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_TypeError, "a parameter is a (key, value) pair");
            PyMem_Free(static_cast<void *>(out));
            return nullptr;
        }
    }
    out[2 * n] = nullptr;
    return out;
}

static int step_from(PyObject *item, Step *step)
{
    PyObject *target;
    PyObject *source;
    PyObject *params;
    if (!PyArg_ParseTuple(item, "iOOOKpI:step", &step->kind, &target, &source, &params, &step->attr,
                          &step->recursive, &step->mode))
        return -1;
    if (step->kind < KIND_FS || step->kind > KIND_RESOLV) {
        PyErr_Format(PyExc_ValueError, "no step of kind %d", step->kind);
        return -1;
    }
    if (text_of(target, false, &step->target) < 0 || text_of(source, true, &step->source) < 0)
        return -1;
    if ((step->kind == KIND_FS || step->kind == KIND_BIND || step->kind == KIND_LINK ||
         step->kind == KIND_RESOLV) &&
        step->source == nullptr) {
        PyErr_SetString(PyExc_ValueError, "this step needs a source");
        return -1;
    }
    step->warned = 0;
    step->params = params_of(params);
    return step->params == nullptr ? -1 : 0;
}

void plan_free(Plan *plan)
{
    for (Py_ssize_t i = 0; plan->steps != nullptr && i < plan->count; i++)
        PyMem_Free(static_cast<void *>(const_cast<char **>(plan->steps[i].params)));
    PyMem_Free(plan->steps);
    Py_CLEAR(plan->owner);
    plan->steps = nullptr;
    plan->count = 0;
}

int plan_from(PyObject *steps, Plan *plan)
{
    *plan = Plan{nullptr, 0, nullptr};
    if (!PyTuple_Check(steps)) {
        PyErr_SetString(PyExc_TypeError, "a plan is a tuple of steps");
        return -1;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(steps);
    plan->steps =
        static_cast<Step *>(PyMem_Malloc(sizeof(Step) * static_cast<size_t>(n > 0 ? n : 1)));
    if (plan->steps == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    plan->owner = Py_NewRef(steps);
    for (Py_ssize_t i = 0; i < n; i++) {
        plan->steps[i].params = nullptr;
        plan->count = i + 1;
        if (step_from(PyTuple_GET_ITEM(steps, i), &plan->steps[i]) < 0) {
            plan_free(plan);
            return -1;
        }
    }
    return 0;
}

} // namespace rooted

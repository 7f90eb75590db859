// velkora._mounts: listmount(2), the ids of a namespace's mounts:
// listmount() one page as the kernel gives it, and table(), a whole table
// from listmount and statmount.

#include "mounts.h"

namespace mounts {

// One listmount() call: up to room ids after last into ids; the count, or
// -1 with errno set, or vk::RAISED.
static long list_page(uint64_t mnt_id, uint64_t last, uint64_t ns_id, uint64_t *ids, size_t room)
{
    mnt_id_req_v1 req = {request_size(ns_id), 0, mnt_id, last, ns_id};
    return vk::retrying([&] { return syscall(SYS_listmount, &req, ids, room, 0U); });
}

PyDoc_STRVAR(mounts_listmount_doc,
             "listmount($module, /, last_id=0, count=512, mnt_id=LSMT_ROOT)\n--\n\n"
             "One page of the unique ids of the mounts below mnt_id (by default all\n"
             "mounts the caller's root reaches), those after last_id, by id.\n\n"
             "Calls listmount(2). Raises OSError on failure.");

static PyObject *mounts_listmount(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"last_id", "count", "mnt_id", nullptr};
    uint64_t last_id = 0;
    Py_ssize_t count = 512;
    uint64_t mnt_id = LSMT_ROOT;
    if (!vk::parse_args(args, kwargs, "|O&nO&:listmount", kwlist, vk::to_u64, &last_id, &count,
                        vk::to_u64, &mnt_id))
        return nullptr;
    if (count <= 0 || count > 1 << 20) {
        PyErr_SetString(PyExc_ValueError, "count must be from 1 to 1048576");
        return nullptr;
    }
    auto *ids =
        static_cast<uint64_t *>(PyMem_Malloc(static_cast<size_t>(count) * sizeof(uint64_t)));
    if (ids == nullptr)
        return PyErr_NoMemory();
    long got = list_page(mnt_id, last_id, 0, ids, static_cast<size_t>(count));
    PyObject *result = got >= 0 ? PyTuple_New(got) : vk::call_error(got);
    for (long i = 0; result != nullptr && i < got; i++) {
        PyObject *id = PyLong_FromUnsignedLongLong(ids[i]);
        if (id == nullptr)
            Py_CLEAR(result);
        else
            PyTuple_SET_ITEM(result, i, id);
    }
    PyMem_Free(ids);
    return result;
}

// Every unique mount id of a namespace that the caller's root reaches, page
// by page, into a PyMem array; -1 with an error set.
static Py_ssize_t list_ids(uint64_t ns_id, uint64_t **out)
{
    Py_ssize_t room = 1024;
    Py_ssize_t have = 0;
    auto *ids = static_cast<uint64_t *>(PyMem_Malloc(static_cast<size_t>(room) * sizeof(uint64_t)));
    while (ids != nullptr) {
        long got = list_page(LSMT_ROOT, have != 0 ? ids[have - 1] : 0, ns_id, ids + have,
                             static_cast<size_t>(room - have));
        if (got < 0) {
            PyMem_Free(ids);
            vk::call_error(got);
            return -1;
        }
        have += got;
        if (have < room) {
            *out = ids;
            return have;
        }
        room *= 2;
        auto *more = static_cast<uint64_t *>(
            PyMem_Realloc(ids, static_cast<size_t>(room) * sizeof(uint64_t)));
        if (more == nullptr)
            PyMem_Free(ids);
        ids = more;
    }
    PyErr_NoMemory();
    return -1;
}

// The table of a namespace: each listed mount's record, those gone since
// they were listed left out.
static PyObject *table_of(PyObject *cls, uint64_t ns_id, bool with_ids, PyObject *below)
{
    size_t below_length;
    const char *below_text = below_path(below, &below_length);
    uint64_t *ids = nullptr;
    Py_ssize_t have = list_ids(ns_id, &ids);
    if (have < 0)
        return nullptr;
    Table table = {};
    Answer answer = {};
    Recent recent[R_TAGS] = {};
    PyObject *result = nullptr;
    int failed = 0;
    for (Py_ssize_t i = 0; i < have && !failed; i++) {
        int got = ask_statmount(&answer, ids[i], ns_id);
        if (got <= 0) {
            failed = got < 0;
            continue; // unmounted since it was listed
        }
        PyObject *record = statmount_record(reinterpret_cast<PyTypeObject *>(cls), answer.record,
                                            answer_used(&answer), recent, below_text, below_length);
        if (record == Py_None) {
            Py_DECREF(record);
            continue;
        }
        failed = table_add(&table, answer.record->mnt_id, answer.record->mnt_parent_id, record) < 0;
    }
    if (!failed)
        result = tree_order(&table, with_ids);
    recent_clear(recent, R_TAGS);
    table_clear(&table);
    PyMem_Free(answer.record);
    PyMem_Free(ids);
    return result;
}

PyDoc_STRVAR(mounts_table_doc,
             "table($module, /, cls, ns_id=0, with_ids=False, below=None)\n--\n\n"
             "Every mount of a mount namespace (ns_id, 0 for the caller's) that the\n"
             "caller's root reaches, as records of cls (a tuple subclass of 11 fields),\n"
             "parents before children; with with_ids, (unique id, record) pairs; with\n"
             "below, only the mounts at or below that path.\n\n"
             "Calls listmount(2) and statmount(2). Raises OSError on failure.");

static PyObject *mounts_table(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "ns_id", "with_ids", "below", nullptr};
    PyObject *cls;
    uint64_t ns_id = 0;
    int with_ids = 0;
    PyObject *below = nullptr;
    if (!vk::parse_args(args, kwargs, "O|O&pO&:table", kwlist, &cls, vk::to_u64, &ns_id, &with_ids,
                        vk::to_optional_path, &below))
        return nullptr;
    PyObject *result = record_type(cls) ? table_of(cls, ns_id, with_ids != 0, below) : nullptr;
    Py_XDECREF(below);
    return result;
}

PyMethodDef listmount_methods[] = {
    VK_METHOD(mounts, listmount),
    VK_METHOD(mounts, table),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace mounts

// velkora._mounts: records, the table the routes fill, and its tree
// order (parents before children, siblings by the id mountinfo shows, as
// findmnt draws them).

#include "mounts.h"

#include <stdlib.h>

namespace mounts {

int record_type(PyObject *cls)
{
    if (!PyType_Check(cls) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "cls must be a tuple subclass");
        return 0;
    }
    return 1;
}

void table_clear(Table *table)
{
    for (Py_ssize_t i = 0; i < table->count; i++)
        Py_DECREF(table->rows[i].record);
    PyMem_Free(table->rows);
    *table = Table{};
}

// Takes the reference to record, which may be null (an error set).
int table_add(Table *table, uint64_t id, uint64_t parent, PyObject *record)
{
    if (record == nullptr)
        return -1;
    if (table->count == table->room) {
        Py_ssize_t room = table->room < 64 ? 64 : table->room * 2;
        auto *rows =
            static_cast<Row *>(PyMem_Realloc(table->rows, static_cast<size_t>(room) * sizeof(Row)));
        if (rows == nullptr) {
            Py_DECREF(record);
            PyErr_NoMemory();
            return -1;
        }
        table->rows = rows;
        table->room = room;
    }
    table->rows[table->count++] = Row{id, parent, record};
    return 0;
}

// memmove, called where the compiler cannot see what the two pointers are:
// where it can tell they do not overlap it calls memcpy instead, whose

void recent_clear(Recent *recent, size_t count)
{
    for (size_t i = 0; i < count; i++)
        Py_CLEAR(recent[i].str);
}

// A new reference to the str of these bytes, the last one's where the text
// is the same.
PyObject *decoded(Recent *recent, const char *text, size_t length)
{
    if (recent->str != nullptr && recent->length == length &&
        memcmp(recent->text, text, length) == 0) {
        Py_INCREF(recent->str);
        return recent->str;
    }
    PyObject *str = PyUnicode_DecodeFSDefaultAndSize(text, static_cast<Py_ssize_t>(length));
    if (str != nullptr && length <= sizeof recent->text) {
        vk::copy_bytes(recent->text, text, length);
        recent->length = length;
        Py_INCREF(str);
        Py_XSETREF(recent->str, str);
    }
    return str;
}

// A record of cls from its fields, whose references it takes (null where an
// error is set, and then nothing is made).
PyObject *new_record(PyTypeObject *cls, PyObject *const *items)
{
    bool complete = true;
    for (Py_ssize_t i = 0; i < FIELDS; i++)
        complete = complete && items[i] != nullptr;
    PyObject *record = complete ? cls->tp_alloc(cls, FIELDS) : nullptr;
    if (record == nullptr) {
        for (Py_ssize_t i = 0; i < FIELDS; i++)
            Py_XDECREF(items[i]);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject *>(record)->ob_hash = -1; // not yet computed
#endif
    for (Py_ssize_t i = 0; i < FIELDS; i++)
        PyTuple_SET_ITEM(record, i, items[i]);
    // Its fields are ints, strs, None and a tuple of strs, which can take no
    // part in a reference cycle: the collector need not follow it (as it
    // would find for itself, after following it once per generation).
    if (PyTuple_CheckExact(items[FIELDS - 1]))
        PyObject_GC_UnTrack(items[FIELDS - 1]);
    PyObject_GC_UnTrack(record);
    return record;
}

namespace {
// A row's id and its index, sortable by id.
struct Key {
    uint64_t id;
    Py_ssize_t at;
};

// A table's rows as a tree, by index: each one's parent (-1 for a root),
// first child and next sibling (-1 for none), and the rows by id.
struct Tree {
    Key *keys;
    Py_ssize_t *parent;
    Py_ssize_t *first_child;
    Py_ssize_t *next_sibling;
};

// The list being filled in tree order.
struct Emitter {
    const Table *table;
    bool with_ids;
    PyObject *list;
    Py_ssize_t out;
    char *placed;
};
} // namespace

static int key_order(const void *a, const void *b)
{
    const Key *x = static_cast<const Key *>(a);
    const Key *y = static_cast<const Key *>(b);
    if (x->id != y->id)
        return x->id < y->id ? -1 : 1;
    if (x->at != y->at)
        return x->at < y->at ? -1 : 1;
    return 0;
}

// The index of the first row with this id, or -1.
static Py_ssize_t find_row(const Key *keys, Py_ssize_t n, uint64_t id)
{
    Py_ssize_t low = 0;
    Py_ssize_t high = n;
    while (low < high) { // the first key not below id
        Py_ssize_t middle = low + ((high - low) / 2);
        if (keys[middle].id < id)
            low = middle + 1;
        else
            high = middle;
    }
    return low < n && keys[low].id == id ? keys[low].at : -1;
}

// The id mountinfo shows for a row (the record's first field), which orders
// siblings as findmnt draws them; the unique id where it is none.
static uint64_t shown_id(const Row &row)
{
    PyObject *id = PyTuple_GET_ITEM(row.record, 0);
    unsigned long long value = PyLong_Check(id) ? PyLong_AsUnsignedLongLong(id) : row.id;
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        value = row.id;
    }
    return value;
}

// Links the rows into a tree; by_shown (n keys) is scratch for the rows in
// the order of the ids mountinfo shows.
static void link_rows(const Table *table, Tree *tree, Key *by_shown)
{
    Py_ssize_t n = table->count;
    for (Py_ssize_t i = 0; i < n; i++) {
        tree->keys[i] = Key{table->rows[i].id, i};
        by_shown[i] = Key{shown_id(table->rows[i]), i};
        tree->first_child[i] = tree->next_sibling[i] = -1;
    }
    qsort(tree->keys, static_cast<size_t>(n), sizeof(Key), key_order);
    qsort(by_shown, static_cast<size_t>(n), sizeof(Key), key_order);
    for (Py_ssize_t i = 0; i < n; i++) {
        const Row &row = table->rows[i];
        tree->parent[i] = row.parent == row.id ? -1 : find_row(tree->keys, n, row.parent);
    }
    for (Py_ssize_t k = n - 1; k >= 0; k--) { // from the highest id: siblings by id
        Py_ssize_t i = by_shown[k].at;
        Py_ssize_t up = tree->parent[i];
        if (up >= 0) {
            tree->next_sibling[i] = tree->first_child[up];
            tree->first_child[up] = i;
        }
    }
}

static int emit(Emitter *e, Py_ssize_t i)
{
    e->placed[i] = 1;
    const Row &row = e->table->rows[i];
    PyObject *item;
    if (e->with_ids) {
        item = Py_BuildValue("(KO)", static_cast<unsigned long long>(row.id), row.record);
    } else {
        Py_INCREF(row.record);
        item = row.record;
    }
    if (item == nullptr)
        return -1;
    PyList_SET_ITEM(e->list, e->out++, item);
    return 0;
}

// The subtree below root, depth first and without a stack: down to the
// first child, else on to the next sibling of the nearest ancestor that has one.
static int emit_subtree(Emitter *e, const Tree *tree, Py_ssize_t root)
{
    Py_ssize_t at = root;
    if (emit(e, at) < 0)
        return -1;
    for (;;) {
        if (tree->first_child[at] >= 0) {
            at = tree->first_child[at];
        } else {
            while (at != root && tree->next_sibling[at] < 0)
                at = tree->parent[at];
            if (at == root)
                return 0;
            at = tree->next_sibling[at];
        }
        if (emit(e, at) < 0)
            return -1;
    }
}

// The table's records as a list, parents before children and siblings by
// the id mountinfo shows, as findmnt orders them. A mount whose parent is
// itself or not in the table is a root. None is dropped: the records no root
// reaches (a loop of parents, which only a torn read of reused ids can make)
// come last, by id. With with_ids, each item is (id, record).
PyObject *tree_order(const Table *table, bool with_ids)
{
    Py_ssize_t n = table->count;
    size_t count = static_cast<size_t>(n) + 1;
    auto *keys = static_cast<Key *>(PyMem_Malloc(2 * count * sizeof(Key)));
    auto *links = static_cast<Py_ssize_t *>(PyMem_Malloc(3 * count * sizeof(Py_ssize_t)));
    auto *placed = static_cast<char *>(PyMem_Calloc(count, 1));
    PyObject *list = PyList_New(n);
    int failed = keys == nullptr || links == nullptr || placed == nullptr || list == nullptr;
    if (failed && list != nullptr)
        PyErr_NoMemory();
    if (!failed) {
        Tree tree = {keys, links, links + count, links + (2 * count)};
        link_rows(table, &tree, keys + count);
        Emitter e = {table, with_ids, list, 0, placed};
        for (Py_ssize_t root = 0; root < n && !failed; root++) {
            if (tree.parent[root] < 0)
                failed = emit_subtree(&e, &tree, root) < 0;
        }
        for (Py_ssize_t k = 0; k < n && !failed; k++) {
            if (!placed[keys[k].at])
                failed = emit(&e, keys[k].at) < 0;
        }
    }
    PyMem_Free(keys);
    PyMem_Free(links);
    PyMem_Free(placed);
    if (failed) {
        // The items not yet set are null, which a list may hold while it is freed.
        Py_XDECREF(list);
        return nullptr;
    }
    return list;
}

// Whether a mount point (length bytes) is below, or is, the path below
// (below_length bytes, without a trailing slash: 0 for "/"); every mount
// point is where below is null.
bool within(const char *point, size_t length, const char *below, size_t below_length)
{
    if (below == nullptr || below_length == 0)
        return true;
    if (length < below_length || memcmp(point, below, below_length) != 0)
        return false;
    return length == below_length || point[below_length] == '/';
}

// The path a below= argument names, for within(): its bytes less trailing slashes.
const char *below_path(PyObject *below, size_t *length)
{
    if (below == nullptr) {
        *length = 0;
        return nullptr;
    }
    const char *path = PyBytes_AS_STRING(below);
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(below));
    while (n > 0 && path[n - 1] == '/')
        n--;
    *length = n;
    return path;
}

} // namespace mounts

// velkora._mounts: the mountinfo text's parser, parse() and read(),
// the route where statmount(2) is missing or another file is read. Each name
// field is unescaped (mountinfo writes space, tab, newline and backslash as
// octal escapes); the superblock's options keep the filesystem's own
// escapes, as statmount gives them.

#include "mounts.h"

#include <fcntl.h>

namespace mounts {

// The next field: the bytes up to the next space or the line's end.
static bool next_field(const char **at, const char *end, const char **field, size_t *length)
{
    const char *p = *at;
    if (p > end)
        return false;
    const char *space = static_cast<const char *>(memchr(p, ' ', static_cast<size_t>(end - p)));
    const char *stop = space != nullptr ? space : end;
    *field = p;
    *length = static_cast<size_t>(stop - p);
    *at = stop + 1;
    return true;
}

// A decimal number of the whole field; false if it is none.
static bool number(const char *text, size_t length, uint64_t *out)
{
    uint64_t value = 0;
    if (length == 0 || length > 19)
        return false;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = (value * 10) + static_cast<uint64_t>(text[i] - '0');
    }
    *out = value;
    return true;
}

static bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// mountinfo writes space, tab, newline and backslash in names as three-digit
// octal escapes: the bytes again, in out (room for length bytes).
static size_t unescape(const char *text, size_t length, char *out)
{
    size_t n = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '\\' && i + 3 < length && is_octal(text[i + 1]) && is_octal(text[i + 2]) &&
            is_octal(text[i + 3])) {
            out[n++] = static_cast<char>(
                ((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3 | (text[i + 3] - '0')) & 0xFF);
            i += 3;
        } else {
            out[n++] = text[i];
        }
    }
    return n;
}

namespace {
// A mountinfo line's fields: id, parent, device, root, mount point and
// options (f); the optional fields; type, source and superblock options (g).
struct Line {
    const char *f[6];
    size_t n[6];
    const char *tags;
    Py_ssize_t tag_count;
    const char *g[3];
    size_t m[3];
    uint64_t id;
    uint64_t parent;
    uint64_t major;
    uint64_t minor;
};
} // namespace

// The fields of the line from line to end; false if it is not in mountinfo's format.
static bool split_line(const char *line, const char *end, Line *out)
{
    const char *at = line;
    bool ok = true;
    for (int i = 0; i < 6 && ok; i++)
        ok = next_field(&at, end, &out->f[i], &out->n[i]);
    // The optional fields, up to the "-" at the sixth field or later.
    out->tags = at;
    out->tag_count = 0;
    const char *tag;
    size_t tag_length = 0;
    bool dash = false;
    while (ok && !dash && next_field(&at, end, &tag, &tag_length)) {
        dash = tag_length == 1 && tag[0] == '-';
        out->tag_count += dash ? 0 : 1;
    }
    ok = ok && dash;
    for (int i = 0; i < 3 && ok; i++)
        ok = next_field(&at, end, &out->g[i], &out->m[i]);
    if (!ok)
        return false;
    const char *device = out->f[2];
    const auto *colon = static_cast<const char *>(memchr(device, ':', out->n[2]));
    return colon != nullptr && number(out->f[0], out->n[0], &out->id) &&
           number(out->f[1], out->n[1], &out->parent) &&
           number(device, static_cast<size_t>(colon - device), &out->major) &&
           number(colon + 1, out->n[2] - static_cast<size_t>(colon + 1 - device), &out->minor);
}

// The optional fields as a tuple of strs.
static PyObject *tags_tuple(const char *at, const char *end, Py_ssize_t count)
{
    return words_tuple(count, [&](Py_ssize_t, const char **text, size_t *length) {
        next_field(&at, end, text, length);
    });
}

// A name field's bytes: the text itself, or where it has escapes, the bytes
// again in scratch (which untouched costs no memory).
static const char *name_bytes(const char *text, size_t length, char *scratch, size_t *out)
{
    if (memchr(text, '\\', length) == nullptr) {
        *out = length;
        return text;
    }
    *out = unescape(text, length, scratch);
    return scratch;
}

static PyObject *name_field(Recent *recent, const char *text, size_t length, char *scratch)
{
    size_t n;
    const char *bytes = name_bytes(text, length, scratch, &n);
    return decoded(recent, bytes, n);
}

// A record of cls from a line's fields and its mount point's bytes (point,
// which may be in scratch: decoded before scratch is used again).
static PyObject *line_record(PyTypeObject *cls, const Line *l, const char *end, char *scratch,
                             const char *point, size_t point_length, Recent *recent)
{
    PyObject *point_str =
        PyUnicode_DecodeFSDefaultAndSize(point, static_cast<Py_ssize_t>(point_length));
    PyObject *items[FIELDS] = {
        PyLong_FromUnsignedLongLong(l->id),
        PyLong_FromUnsignedLongLong(l->parent),
        PyLong_FromUnsignedLongLong(l->major),
        PyLong_FromUnsignedLongLong(l->minor),
        name_field(&recent[R_ROOT], l->f[3], l->n[3], scratch),
        point_str,
        name_field(&recent[R_TYPE], l->g[0], l->m[0], scratch),
        name_field(&recent[R_SOURCE], l->g[1], l->m[1], scratch),
        name_field(&recent[R_OPTIONS], l->f[5], l->n[5], scratch),
        decoded(&recent[R_SUPER], l->g[2], l->m[2]),
        tags_tuple(l->tags, end, l->tag_count),
    };
    return new_record(cls, items);
}

// The records of a mountinfo text, into table (with below, only those at
// or below that path); -1 with ValueError for a line that is not in
// mountinfo's format. Each name is unescaped; the superblock's options keep
// the filesystem's own escapes, as statmount gives them.
static int parse_lines(PyTypeObject *cls, const char *data, size_t size, Table *table,
                       PyObject *below)
{
    size_t below_length;
    const char *below_text = below_path(below, &below_length);
    Recent recent[R_TAGS] = {};
    auto *scratch = static_cast<char *>(PyMem_Malloc(size + 1));
    if (scratch == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    int failed = 0;
    const char *data_end = data + size;
    for (const char *line = data, *end; line < data_end && !failed; line = end + 1) {
        const auto *newline =
            static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(data_end - line)));
        end = newline != nullptr ? newline : data_end;
        Line l;
        if (end == line)
            continue;
        if (!split_line(line, end, &l)) {
            PyObject *text = PyBytes_FromStringAndSize(line, end - line);
            if (text != nullptr) {
                PyErr_Format(PyExc_ValueError, "not a mountinfo line: %R", text);
                Py_DECREF(text);
            }
            failed = 1;
            break;
        }
        size_t point_length;
        const char *point = name_bytes(l.f[4], l.n[4], scratch, &point_length);
        if (within(point, point_length, below_text, below_length))
            failed = table_add(table, l.id, l.parent,
                               line_record(cls, &l, end, scratch, point, point_length, recent)) < 0;
    }
    recent_clear(recent, R_TAGS);
    PyMem_Free(scratch);
    return failed ? -1 : 0;
}

PyDoc_STRVAR(mounts_parse_doc,
             "parse($module, /, cls, data, ordered=True)\n--\n\n"
             "The records of a mountinfo text as records of cls (a tuple subclass of 11\n"
             "fields): parents before children, or with ordered=False in the text's\n"
             "own order. Raises ValueError for a line not in mountinfo's format.");

static PyObject *mounts_parse(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "data", "ordered", nullptr};
    PyObject *cls;
    Py_buffer data;
    int ordered = 1;
    if (!vk::parse_args(args, kwargs, "Oy*|p:parse", kwlist, &cls, &data, &ordered))
        return nullptr;
    Table table = {};
    PyObject *result = nullptr;
    if (record_type(cls) &&
        parse_lines(reinterpret_cast<PyTypeObject *>(cls), static_cast<const char *>(data.buf),
                    static_cast<size_t>(data.len), &table, nullptr) == 0) {
        if (ordered) {
            result = tree_order(&table, false);
        } else {
            result = PyList_New(table.count);
            for (Py_ssize_t i = 0; result != nullptr && i < table.count; i++)
                PyList_SET_ITEM(result, i, Py_NewRef(table.rows[i].record));
        }
    }
    table_clear(&table);
    PyBuffer_Release(&data);
    return result;
}

// The whole of a /proc file, which can only be read from its start and
// whose size stat does not give; into a PyMem buffer.
static char *read_whole(const char *path, PyObject *name, size_t *size)
{
    long fd = vk::retrying([path] { return static_cast<long>(open(path, O_RDONLY | O_CLOEXEC)); });
    if (fd < 0) {
        vk::call_error(fd, name);
        return nullptr;
    }
    size_t room = size_t{64} * 1024;
    size_t used = 0;
    char *buffer = static_cast<char *>(PyMem_Malloc(room));
    long got = 0;
    while (buffer != nullptr) {
        if (used == room) {
            room *= 2;
            char *more = static_cast<char *>(PyMem_Realloc(buffer, room));
            if (more == nullptr)
                PyMem_Free(buffer);
            buffer = more;
            continue;
        }
        char *at = buffer + used;
        size_t left = room - used;
        got = vk::retrying([=] { return static_cast<long>(read(static_cast<int>(fd), at, left)); });
        if (got <= 0)
            break;
        used += static_cast<size_t>(got);
    }
    vk::close_quietly(static_cast<int>(fd));
    if (buffer == nullptr) {
        PyErr_NoMemory();
    } else if (got < 0) {
        PyMem_Free(buffer);
        buffer = nullptr;
        vk::call_error(got, name);
    }
    *size = used;
    return buffer;
}

PyDoc_STRVAR(
    mounts_read_doc,
    "read($module, /, cls, path='/proc/self/mountinfo', below=None)\n--\n\n"
    "The records of a mountinfo file as records of cls, parents before\n"
    "children; with below, only the mounts at or below that path. Raises OSError on failure, "
    "ValueError for a line not in\n"
    "mountinfo's format.");

static PyObject *mounts_read(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "path", "below", nullptr};
    PyObject *cls;
    PyObject *path = nullptr;
    PyObject *below = nullptr;
    if (!vk::parse_args(args, kwargs, "O|O&O&:read", kwlist, &cls, vk::to_path, &path,
                        vk::to_optional_path, &below))
        return nullptr;
    PyObject *result = nullptr;
    size_t size = 0;
    const char *name = path != nullptr ? PyBytes_AS_STRING(path) : "/proc/self/mountinfo";
    if (record_type(cls)) {
        PyObject *shown = path != nullptr ? Py_NewRef(path) : PyUnicode_FromString(name);
        char *data = shown != nullptr ? read_whole(name, shown, &size) : nullptr;
        Py_XDECREF(shown);
        if (data != nullptr) {
            Table table = {};
            if (parse_lines(reinterpret_cast<PyTypeObject *>(cls), data, size, &table, below) == 0)
                result = tree_order(&table, false);
            table_clear(&table);
            PyMem_Free(data);
        }
    }
    Py_XDECREF(path);
    Py_XDECREF(below);
    return result;
}

PyMethodDef mountinfo_methods[] = {
    VK_METHOD(mounts, parse),
    VK_METHOD(mounts, read),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace mounts

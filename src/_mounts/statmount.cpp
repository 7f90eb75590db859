// velkora._mounts: statmount(2), one mount's record: statmount() as the
// kernel gives it, record() as a record of the caller's class, and the
// fields listmount.cpp's tables are made of. The buffer the kernel fills
// grows while it answers EOVERFLOW; it comes from the interpreter's
// allocator (PyMem), so the module keeps no heap of its own.

#include "mounts.h"

#include <stdio.h>

namespace mounts {

// What every kernel with statmount(2) knows (6.8); asked for alone when a
// kernel refuses the newer bits.
static const uint64_t STATMOUNT_FIRST = STATMOUNT_SB_BASIC | STATMOUNT_MNT_BASIC |
                                        STATMOUNT_PROPAGATE_FROM | STATMOUNT_MNT_ROOT |
                                        STATMOUNT_MNT_POINT | STATMOUNT_FS_TYPE;
static const uint64_t STATMOUNT_ALL = STATMOUNT_FIRST | STATMOUNT_MNT_OPTS | STATMOUNT_FS_SUBTYPE |
                                      STATMOUNT_SB_SOURCE | STATMOUNT_SUPPORTED_MASK;

// Room for the fixed part and a typical mount's strings; doubled on EOVERFLOW.
static const Py_ssize_t FIRST_BUFFER = 4096;
static const Py_ssize_t LAST_BUFFER = Py_ssize_t{64} * 1024 * 1024;

// ---------------------------------------------------------------------------
// Records of the caller's class.

// Whether the kernel gave the string that mask bit brings, and its length.
static bool statmount_text(const statmount_v1 *r, const char *area, Py_ssize_t room, uint64_t bit,
                           uint32_t offset, size_t *length)
{
    *length = 0;
    if ((r->mask & bit) == 0 || static_cast<Py_ssize_t>(offset) >= room)
        return false;
    *length = strnlen(area + offset, static_cast<size_t>(room - offset));
    return true;
}

// Appends word to the text at out (at most size bytes), after a comma if the
// text is not empty.
static void add_word(char *out, size_t size, size_t *used, const char *word, size_t length)
{
    if (*used != 0 && *used < size)
        out[(*used)++] = ',';
    size_t take = length < size - *used ? length : size - *used;
    vk::copy_bytes(out + *used, word, take);
    *used += take;
}

// The per-mount options, in the order mountinfo writes them; a bit of 0 is
// one of the access-time modes.
static const struct {
    uint64_t bit;
    const char *word;
} mount_words[] = {
    {MOUNT_ATTR_NOSUID, "nosuid"},           {MOUNT_ATTR_NODEV, "nodev"},
    {MOUNT_ATTR_NOEXEC, "noexec"},           {0, "noatime"},
    {MOUNT_ATTR_NODIRATIME, "nodiratime"},   {0, "relatime"},
    {MOUNT_ATTR_NOSYMFOLLOW, "nosymfollow"}, {MOUNT_ATTR_IDMAP, "idmapped"},
};

// The superblock's options (its SB_* flags, which are the MS_* numbers).
static const struct {
    uint32_t bit;
    const char *word;
} super_words[] = {{MS_SYNCHRONOUS, "sync"},
                   {MS_DIRSYNC, "dirsync"},
                   {MS_MANDLOCK, "mand"},
                   {MS_LAZYTIME, "lazytime"}};

// The string field for a mask bit: its text; "" where the kernel gave none
// but says it could have (an empty text is left out of the mask); else None.
static PyObject *string_field(Recent *recent, const statmount_v1 *r, const char *area,
                              Py_ssize_t room, uint64_t bit, uint32_t offset, bool may_be_empty)
{
    size_t length;
    if (statmount_text(r, area, room, bit, offset, &length))
        return decoded(recent, area + offset, length);
    uint64_t supported = (r->mask & STATMOUNT_SUPPORTED_MASK) != 0 ? r->supported_mask : 0;
    if (may_be_empty && (supported & bit) != 0)
        return decoded(recent, "", 0);
    Py_RETURN_NONE;
}

// The type, with its subtype after a dot as mountinfo shows it.
static PyObject *type_field(Recent *recent, const statmount_v1 *r, const char *area,
                            Py_ssize_t room)
{
    size_t type_length;
    size_t subtype_length;
    if (!statmount_text(r, area, room, STATMOUNT_FS_TYPE, r->fs_type, &type_length))
        Py_RETURN_NONE;
    char text[512];
    size_t n = 0;
    add_word(text, sizeof text, &n, area + r->fs_type, type_length);
    if (statmount_text(r, area, room, STATMOUNT_FS_SUBTYPE, r->fs_subtype, &subtype_length) &&
        subtype_length != 0 && n < sizeof text) {
        text[n++] = '.';
        size_t take = subtype_length < sizeof text - n ? subtype_length : sizeof text - n;
        vk::copy_bytes(text + n, area + r->fs_subtype, take);
        n += take;
    }
    return decoded(recent, text, n);
}

// The mount's options, as mountinfo writes them.
static PyObject *options_field(Recent *recent, uint64_t attr)
{
    char text[256];
    size_t n = 0;
    add_word(text, sizeof text, &n, (attr & MOUNT_ATTR_RDONLY) != 0 ? "ro" : "rw", 2);
    uint64_t atime = attr & MOUNT_ATTR__ATIME;
    for (const auto &w : mount_words) {
        bool shown = w.bit != 0
                         ? (attr & w.bit) != 0
                         : atime == (w.word[2] == 'a' ? MOUNT_ATTR_NOATIME : MOUNT_ATTR_RELATIME);
        if (shown)
            add_word(text, sizeof text, &n, w.word, strlen(w.word));
    }
    return decoded(recent, text, n);
}

// The superblock's options: read-only or not and its flags, then its own
// options as the filesystem writes them (escapes and all).
static PyObject *super_field(Recent *recent, const statmount_v1 *r, const char *area,
                             Py_ssize_t room)
{
    size_t length;
    bool given = statmount_text(r, area, room, STATMOUNT_MNT_OPTS, r->mnt_opts, &length);
    if (!given && ((r->mask & STATMOUNT_SUPPORTED_MASK) == 0 ||
                   (r->supported_mask & STATMOUNT_MNT_OPTS) == 0))
        Py_RETURN_NONE;
    // They can be long (an overlay's layers): a buffer of their own.
    size_t size = 64 + length;
    auto *text = static_cast<char *>(PyMem_Malloc(size));
    if (text == nullptr)
        return PyErr_NoMemory();
    size_t n = 0;
    add_word(text, size, &n, (r->sb_flags & MS_RDONLY) != 0 ? "ro" : "rw", 2);
    for (const auto &w : super_words) {
        if ((r->sb_flags & w.bit) != 0)
            add_word(text, size, &n, w.word, strlen(w.word));
    }
    if (length != 0)
        add_word(text, size, &n, area + r->mnt_opts, length);
    PyObject *result = decoded(recent, text, n);
    PyMem_Free(text);
    return result;
}

// Propagation, as mountinfo's optional fields.
static PyObject *propagation_field(const statmount_v1 *r)
{
    char words[4][48];
    const char *texts[4];
    size_t lengths[4];
    Py_ssize_t count = 0;
    auto add = [&](const char *format, uint64_t value) {
        int n =
            snprintf(words[count], sizeof words[0], format, static_cast<unsigned long long>(value));
        texts[count] = words[count];
        lengths[count++] = n > 0 ? static_cast<size_t>(n) : 0;
    };
    if ((r->mnt_propagation & MS_SHARED) != 0)
        add("shared:%llu", r->mnt_peer_group);
    if ((r->mnt_propagation & MS_SLAVE) != 0) {
        add("master:%llu", r->mnt_master);
        if (r->propagate_from != 0 && r->propagate_from != r->mnt_master)
            add("propagate_from:%llu", r->propagate_from);
    }
    if ((r->mnt_propagation & MS_UNBINDABLE) != 0) {
        texts[count] = "unbindable";
        lengths[count++] = strlen("unbindable");
    }
    return words_tuple(count, [&](Py_ssize_t i, const char **text, size_t *length) {
        *text = texts[i];
        *length = lengths[i];
    });
}

// A record of cls from statmount's answer (used bytes of it); None for a
// mount outside the caller's root, which the kernel gives without a mount
// point and mountinfo leaves out, and for one not below the path below.
PyObject *statmount_record(PyTypeObject *cls, const statmount_v1 *r, Py_ssize_t used,
                           Recent *recent, const char *below, size_t below_length)
{
    const char *area = reinterpret_cast<const char *>(r + 1);
    Py_ssize_t room = used - static_cast<Py_ssize_t>(sizeof *r);
    size_t point_length;
    if (!statmount_text(r, area, room, STATMOUNT_MNT_POINT, r->mnt_point, &point_length) ||
        !within(area + r->mnt_point, point_length, below, below_length))
        Py_RETURN_NONE;
    PyObject *items[FIELDS] = {
        PyLong_FromUnsignedLong(r->mnt_id_old),
        PyLong_FromUnsignedLong(r->mnt_parent_id_old),
        PyLong_FromUnsignedLong(r->sb_dev_major),
        PyLong_FromUnsignedLong(r->sb_dev_minor),
        string_field(&recent[R_ROOT], r, area, room, STATMOUNT_MNT_ROOT, r->mnt_root, false),
        PyUnicode_DecodeFSDefaultAndSize(area + r->mnt_point,
                                         static_cast<Py_ssize_t>(point_length)),
        type_field(&recent[R_TYPE], r, area, room),
        string_field(&recent[R_SOURCE], r, area, room, STATMOUNT_SB_SOURCE, r->sb_source, true),
        options_field(&recent[R_OPTIONS], r->mnt_attr),
        super_field(&recent[R_SUPER], r, area, room),
        propagation_field(r),
    };
    return new_record(cls, items);
}

// ---------------------------------------------------------------------------
// The call.

int ask_statmount(Answer *answer, uint64_t unique_id, uint64_t ns_id)
{
    if (answer->record == nullptr) {
        answer->size = FIRST_BUFFER;
        answer->mask = STATMOUNT_ALL;
        answer->record = static_cast<statmount_v1 *>(PyMem_Malloc(FIRST_BUFFER));
        if (answer->record == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    for (;;) {
        mnt_id_req_v1 req = {request_size(ns_id), 0, unique_id, answer->mask, ns_id};
        statmount_v1 *record = answer->record;
        size_t size = static_cast<size_t>(answer->size);
        long ret = vk::retrying([&] { return syscall(SYS_statmount, &req, record, size, 0U); });
        if (ret == 0)
            return 1;
        if (ret == vk::RAISED)
            return -1;
        if (errno == ENOENT)
            return 0;
        if (errno == EOVERFLOW && answer->size < LAST_BUFFER) {
            PyMem_Free(answer->record);
            answer->size *= 2;
            answer->record =
                static_cast<statmount_v1 *>(PyMem_Malloc(static_cast<size_t>(answer->size)));
            if (answer->record == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        } else if (errno == EINVAL && answer->mask != STATMOUNT_FIRST) {
            answer->mask = STATMOUNT_FIRST; // a kernel older than the newer mask bits
        } else {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
    }
}

Py_ssize_t answer_used(const Answer *answer)
{
    Py_ssize_t filled = answer->record->size;
    return filled < answer->size ? filled : answer->size;
}

// ---------------------------------------------------------------------------
// statmount(): the kernel's answer as it is.

// The string at offset in the record's string area (which starts at area
// and holds room bytes), as bytes, if the kernel filled what brings it; else
// None.
static PyObject *record_text(const statmount_v1 *record, const char *area, Py_ssize_t room,
                             uint64_t bit, uint32_t offset)
{
    size_t length;
    if (!statmount_text(record, area, room, bit, offset, &length))
        Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(area + offset, static_cast<Py_ssize_t>(length));
}

static PyObject *record_dict(const statmount_v1 *r, Py_ssize_t used)
{
    const char *area = reinterpret_cast<const char *>(r + 1);
    Py_ssize_t room = used - static_cast<Py_ssize_t>(sizeof *r);
    unsigned long long supported =
        (r->mask & STATMOUNT_SUPPORTED_MASK) != 0 ? r->supported_mask : 0;
    return Py_BuildValue(
        "{sKsKsKsKsIsIsIsIsIsKsKsKsKsKsKsNsNsNsNsNsN}", "mask", r->mask, "mnt_id", r->mnt_id,
        "mnt_parent_id", r->mnt_parent_id, "sb_magic", r->sb_magic, "mnt_id_old", r->mnt_id_old,
        "mnt_parent_id_old", r->mnt_parent_id_old, "sb_dev_major", r->sb_dev_major, "sb_dev_minor",
        r->sb_dev_minor, "sb_flags", r->sb_flags, "mnt_attr", r->mnt_attr, "mnt_propagation",
        r->mnt_propagation, "mnt_peer_group", r->mnt_peer_group, "mnt_master", r->mnt_master,
        "propagate_from", r->propagate_from, "supported_mask", supported, "mnt_root",
        record_text(r, area, room, STATMOUNT_MNT_ROOT, r->mnt_root), "mnt_point",
        record_text(r, area, room, STATMOUNT_MNT_POINT, r->mnt_point), "fs_type",
        record_text(r, area, room, STATMOUNT_FS_TYPE, r->fs_type), "fs_subtype",
        record_text(r, area, room, STATMOUNT_FS_SUBTYPE, r->fs_subtype), "sb_source",
        record_text(r, area, room, STATMOUNT_SB_SOURCE, r->sb_source), "mnt_opts",
        record_text(r, area, room, STATMOUNT_MNT_OPTS, r->mnt_opts));
}

PyDoc_STRVAR(mounts_statmount_doc,
             "statmount($module, /, mnt_id)\n--\n\n"
             "The kernel's record of the mount with this unique id: the numbers of\n"
             "struct statmount by their field names, and its strings as bytes (None\n"
             "where the kernel gave none; \"mask\" says what it filled, and\n"
             "\"supported_mask\" what it can fill, 0 where it does not say).\n\n"
             "Calls statmount(2), with a buffer that grows while the kernel answers\n"
             "EOVERFLOW. Raises OSError on failure (FileNotFoundError if the mount\n"
             "is gone).");

static PyObject *mounts_statmount(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"mnt_id", nullptr};
    uint64_t mnt_id;
    if (!vk::parse_args(args, kwargs, "O&:statmount", kwlist, vk::to_u64, &mnt_id))
        return nullptr;
    Answer answer = {};
    int got = ask_statmount(&answer, mnt_id, 0);
    PyObject *result = nullptr;
    if (got == 0)
        vk::os_error(ENOENT);
    else if (got > 0)
        result = record_dict(answer.record, answer_used(&answer));
    PyMem_Free(answer.record);
    return result;
}

PyDoc_STRVAR(mounts_record_doc,
             "record($module, /, cls, mnt_id, ns_id=0)\n--\n\n"
             "The mount with this unique id as a record of cls, or None where it lies\n"
             "outside the caller's root.\n\n"
             "Calls statmount(2). Raises OSError on failure (FileNotFoundError if the\n"
             "mount is gone).");

static PyObject *mounts_record(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"cls", "mnt_id", "ns_id", nullptr};
    PyObject *cls;
    uint64_t mnt_id;
    uint64_t ns_id = 0;
    if (!vk::parse_args(args, kwargs, "OO&|O&:record", kwlist, &cls, vk::to_u64, &mnt_id,
                        vk::to_u64, &ns_id) ||
        !record_type(cls))
        return nullptr;
    Answer answer = {};
    Recent recent[R_TAGS] = {};
    PyObject *result = nullptr;
    int got = ask_statmount(&answer, mnt_id, ns_id);
    if (got == 0) {
        vk::os_error(ENOENT);
    } else if (got > 0) {
        result = statmount_record(reinterpret_cast<PyTypeObject *>(cls), answer.record,
                                  answer_used(&answer), recent);
    }
    recent_clear(recent, R_TAGS);
    PyMem_Free(answer.record);
    return result;
}

PyMethodDef statmount_methods[] = {
    VK_METHOD(mounts, statmount),
    VK_METHOD(mounts, record),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace mounts

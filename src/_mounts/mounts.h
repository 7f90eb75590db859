// velkora._mounts's private header: the kernel's structures the module
// reads, the table its routes fill, and what each file gives the others.
//
// The files, by concern:
//   module.cpp     the module: its functions' tables, constants and init
//   table.cpp      records, the table they fill and its tree order
//   mountinfo.cpp  the mountinfo text's parser: parse(), read()
//   listmount.cpp  listmount(2): listmount(), table()
//   statmount.cpp  statmount(2): statmount(), record(), a record's fields
//   statx.cpp      statx(2)'s mount id: mount_id()
//   mountcall.cpp  mount(2) and umount2(2) on paths: mount(), umount(), and
//                  their flags' numbers (MS_*, MNT_*, UMOUNT_NOFOLLOW)
//   fanotify.cpp   another namespace's id and fanotify's mount events

#ifndef VELKORA_MOUNTTABLE_H
#define VELKORA_MOUNTTABLE_H

#include "velkora.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/syscall.h>

// The calls' numbers: in velkora.h.

namespace mounts {

// ---------------------------------------------------------------------------
// From the kernel's uapi <linux/mount.h> (6.8 and later), which older headers
// lack: the request both calls take, and statmount's answer.

struct mnt_id_req_v0 {
    uint32_t size;
    uint32_t spare;
    uint64_t mnt_id;
    uint64_t param;
};

// The request with a namespace (6.11 and later): mnt_ns_id picks it.
struct mnt_id_req_v1 {
    uint32_t size;
    uint32_t spare;
    uint64_t mnt_id;
    uint64_t param;
    uint64_t mnt_ns_id;
};

struct statmount_v1 {
    uint32_t size;
    uint32_t mnt_opts;
    uint64_t mask;
    uint32_t sb_dev_major;
    uint32_t sb_dev_minor;
    uint64_t sb_magic;
    uint32_t sb_flags;
    uint32_t fs_type;
    uint64_t mnt_id;
    uint64_t mnt_parent_id;
    uint32_t mnt_id_old;
    uint32_t mnt_parent_id_old;
    uint64_t mnt_attr;
    uint64_t mnt_propagation;
    uint64_t mnt_peer_group;
    uint64_t mnt_master;
    uint64_t propagate_from;
    uint32_t mnt_root;
    uint32_t mnt_point;
    uint64_t mnt_ns_id;
    uint32_t fs_subtype;
    uint32_t sb_source;
    uint32_t opt_num;
    uint32_t opt_array;
    uint32_t opt_sec_num;
    uint32_t opt_sec_array;
    uint64_t supported_mask;
    uint32_t mnt_uidmap_num;
    uint32_t mnt_uidmap;
    uint32_t mnt_gidmap_num;
    uint32_t mnt_gidmap;
    uint64_t spare2[43];
};

static_assert(sizeof(mnt_id_req_v0) == 24, "MNT_ID_REQ_SIZE_VER0 is 24");
static_assert(sizeof(mnt_id_req_v1) == 32, "MNT_ID_REQ_SIZE_VER1 is 32");
static_assert(offsetof(statmount_v1, mnt_root) == 104 && offsetof(statmount_v1, sb_source) == 124,
              "struct statmount differs from Linux's");
static_assert(sizeof(statmount_v1) == 512, "struct statmount is 512 bytes before its strings");

// listmount's "every mount the caller's root reaches", and statmount's mask
// bits: <linux/mount.h>'s where the build machine's has them (6.8 and
// later), else the kernel's numbers here.
#ifndef LSMT_ROOT
#define LSMT_ROOT 0xffffffffffffffffULL
#endif
#ifndef STATMOUNT_SB_BASIC
#define STATMOUNT_SB_BASIC 0x00000001U
#define STATMOUNT_MNT_BASIC 0x00000002U
#define STATMOUNT_PROPAGATE_FROM 0x00000004U
#define STATMOUNT_MNT_ROOT 0x00000008U
#define STATMOUNT_MNT_POINT 0x00000010U
#define STATMOUNT_FS_TYPE 0x00000020U
#endif
#ifndef STATMOUNT_MNT_OPTS
#define STATMOUNT_MNT_OPTS 0x00000080U
#endif
#ifndef STATMOUNT_FS_SUBTYPE
#define STATMOUNT_FS_SUBTYPE 0x00000100U
#endif
#ifndef STATMOUNT_SB_SOURCE
#define STATMOUNT_SB_SOURCE 0x00000200U
#endif
#ifndef STATMOUNT_SUPPORTED_MASK
#define STATMOUNT_SUPPORTED_MASK 0x00001000U
#endif

// The request's size: with a namespace id, the newer one.
inline uint32_t request_size(uint64_t ns_id)
{
    return static_cast<uint32_t>(ns_id != 0 ? sizeof(mnt_id_req_v1) : sizeof(mnt_id_req_v0));
}

// ---------------------------------------------------------------------------
// Records and the table (table.cpp).
//
// A record is an instance of the caller's class, a tuple subclass of FIELDS
// fields (velkora.mountinfo.Mount). Each string field is decoded as file
// names are, the same str shared by the mounts that have the same text (most
// mounts share a type, source and options): Recent keeps the last one of
// each field.

const Py_ssize_t FIELDS = 11;

// The fields a Recent is kept for, and how many.
enum : uint8_t { R_ROOT, R_TYPE, R_SOURCE, R_OPTIONS, R_SUPER, R_TAGS };

struct Recent {
    char text[120];
    size_t length;
    PyObject *str;
};

// A record on its way into a table, with its id and its parent's as the
// route numbers them: the unique 64-bit ids where statmount gives them.
struct Row {
    uint64_t id;
    uint64_t parent;
    PyObject *record;
};

struct Table {
    Row *rows;
    Py_ssize_t count;
    Py_ssize_t room;
};

// 1 if cls is a tuple subclass, else 0 with TypeError.
int record_type(PyObject *cls);

// A new reference to the str of these bytes, recent's where the text is the same.
PyObject *decoded(Recent *recent, const char *text, size_t length);
void recent_clear(Recent *recent, size_t count);

// A record of cls from its FIELDS items, whose references it takes (null
// where an error is set, and then nothing is made).
PyObject *new_record(PyTypeObject *cls, PyObject *const *items);

// Adds a record (taking its reference; null: an error set); -1 on failure.
int table_add(Table *table, uint64_t id, uint64_t parent, PyObject *record);
void table_clear(Table *table);

// The table's records as a new list, parents before children (with with_ids,
// (id, record) pairs); null with an error set.
PyObject *tree_order(const Table *table, bool with_ids);

// A tuple of count strs (the optional fields of a mountinfo line, or the
// same words made from statmount's answer): the i-th is the text that
// word(i, &text, &length) gives, called for each i in order. Null with an
// error set.
template <typename Word> PyObject *words_tuple(Py_ssize_t count, Word word)
{
    PyObject *tuple = PyTuple_New(count);
    for (Py_ssize_t i = 0; tuple != nullptr && i < count; i++) {
        const char *text = nullptr;
        size_t length = 0;
        word(i, &text, &length);
        PyObject *str = PyUnicode_DecodeFSDefaultAndSize(text, static_cast<Py_ssize_t>(length));
        if (str == nullptr)
            Py_CLEAR(tuple);
        else
            PyTuple_SET_ITEM(tuple, i, str);
    }
    return tuple;
}

// Whether a mount point (length bytes) is at or below the path below (as
// below_path gives it); every mount point is where below is null.
bool within(const char *point, size_t length, const char *below, size_t below_length);
// A below= argument's bytes (or null), less trailing slashes.
const char *below_path(PyObject *below, size_t *length);

// ---------------------------------------------------------------------------
// statmount (statmount.cpp), for listmount.cpp's tables.

// statmount's answer for one mount at a time, in one buffer that grows.
struct Answer {
    statmount_v1 *record;
    Py_ssize_t size;
    uint64_t mask;
};

// statmount() of unique_id into answer: 1 when answered, 0 when the mount is
// gone, -1 with an error set.
int ask_statmount(Answer *answer, uint64_t unique_id, uint64_t ns_id);
// How much of the buffer the answer fills.
Py_ssize_t answer_used(const Answer *answer);

// A record of cls from statmount's answer; None for a mount outside the
// caller's root, and for one not at or below the path below.
PyObject *statmount_record(PyTypeObject *cls, const statmount_v1 *r, Py_ssize_t used,
                           Recent *recent, const char *below = nullptr, size_t below_length = 0);

// ---------------------------------------------------------------------------
// The module's functions, a table for each file; module.cpp adds them all.

extern PyMethodDef mountinfo_methods[];
extern PyMethodDef listmount_methods[];
extern PyMethodDef statmount_methods[];
extern PyMethodDef statx_methods[];
extern PyMethodDef mountcall_methods[];
extern PyMethodDef fanotify_methods[];

// Adds the MS_*, MNT_* and UMOUNT_NOFOLLOW constants (mountcall.cpp); -1 on failure.
int add_flag_constants(PyObject *module);

} // namespace mounts

#endif // VELKORA_MOUNTTABLE_H

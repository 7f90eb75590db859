// velkora._btrfs's private header: the Btrfs ioctls older headers lack, the
// on-disk items the tree search returns, and what each file gives the others.
//
// The files, by concern:
//   module.cpp  the module: its function tables and init
//   calls.cpp   opening a path, the ioctl, errors, the fields of a record
//   query.cpp   is_subvolume(), subvolume_id(), subvol_info(), fs_uuid():
//               what any user may ask; ino_lookup() (root only)
//   search.cpp  roots(), default_id(): the tree of tree roots (root only)
//   change.cpp  create(), snapshot(), destroy(), the flags, the default,
//               the received state
//   walk.cpp    reachable(): what an ordinary user may list below a path
//
// Every ioctl runs without the interpreter lock and is made again after
// EINTR unless a signal handler raised (vk::retrying): the kernel answers
// EINTR for these only before it has changed anything.

#ifndef VELKORA_BTRFS_H
#define VELKORA_BTRFS_H

#include "velkora.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <sys/ioctl.h>

// The on-disk items, as the tree search copies them out: from
// linux/btrfs_tree.h where the headers have it (4.12+), else its layout.
#if defined(__has_include)
#if __has_include(<linux/btrfs_tree.h>)
#include <linux/btrfs_tree.h>
#define VK_HAVE_BTRFS_TREE_H 1
#endif
#endif

#ifndef VK_HAVE_BTRFS_TREE_H
#define BTRFS_ROOT_TREE_OBJECTID 1ULL
#define BTRFS_FS_TREE_OBJECTID 5ULL
#define BTRFS_ROOT_TREE_DIR_OBJECTID 6ULL
#define BTRFS_FIRST_FREE_OBJECTID 256ULL
#define BTRFS_LAST_FREE_OBJECTID -256ULL
#define BTRFS_DIR_ITEM_KEY 84
#define BTRFS_ROOT_ITEM_KEY 132
#define BTRFS_ROOT_BACKREF_KEY 144
#define BTRFS_ROOT_SUBVOL_RDONLY (1ULL << 0)
#endif

#ifndef BTRFS_SUPER_MAGIC
#define BTRFS_SUPER_MAGIC 0x9123683E
#endif

// The unprivileged subvolume ioctls (4.18) and deletion by id (5.7), for
// headers older than they are: the uapi header's layout.
#ifndef BTRFS_IOC_GET_SUBVOL_INFO
// cppcheck, reading no system header, takes btrfs_ioctl_timespec for a
// class with a constructor and this plain struct for one needing one.
// cppcheck-suppress-begin uninitMemberVarNoCtor
struct btrfs_ioctl_get_subvol_info_args {
    uint64_t treeid;
    char name[BTRFS_VOL_NAME_MAX + 1];
    uint64_t parent_id;
    uint64_t dirid;
    uint64_t generation;
    uint64_t flags;
    uint8_t uuid[BTRFS_UUID_SIZE];
    uint8_t parent_uuid[BTRFS_UUID_SIZE];
    uint8_t received_uuid[BTRFS_UUID_SIZE];
    uint64_t ctransid;
    uint64_t otransid;
    uint64_t stransid;
    uint64_t rtransid;
    struct btrfs_ioctl_timespec ctime;
    struct btrfs_ioctl_timespec otime;
    struct btrfs_ioctl_timespec stime;
    struct btrfs_ioctl_timespec rtime;
    uint64_t reserved[8];
};
// cppcheck-suppress-end uninitMemberVarNoCtor
#define BTRFS_IOC_GET_SUBVOL_INFO                                                                  \
    _IOR(BTRFS_IOCTL_MAGIC, 60, struct btrfs_ioctl_get_subvol_info_args)
#endif

#ifndef BTRFS_IOC_GET_SUBVOL_ROOTREF
#define BTRFS_MAX_ROOTREF_BUFFER_NUM 255
struct btrfs_ioctl_get_subvol_rootref_args {
    uint64_t min_treeid;
    struct {
        uint64_t treeid;
        uint64_t dirid;
    } rootref[BTRFS_MAX_ROOTREF_BUFFER_NUM];
    uint8_t num_items;
    uint8_t align[7];
};
#define BTRFS_IOC_GET_SUBVOL_ROOTREF                                                               \
    _IOWR(BTRFS_IOCTL_MAGIC, 61, struct btrfs_ioctl_get_subvol_rootref_args)
#endif

#ifndef BTRFS_IOC_INO_LOOKUP_USER
#define BTRFS_INO_LOOKUP_USER_PATH_MAX (4080 - BTRFS_VOL_NAME_MAX - 1)
struct btrfs_ioctl_ino_lookup_user_args {
    uint64_t dirid;
    uint64_t treeid;
    char name[BTRFS_VOL_NAME_MAX + 1];
    char path[BTRFS_INO_LOOKUP_USER_PATH_MAX];
};
#define BTRFS_IOC_INO_LOOKUP_USER                                                                  \
    _IOWR(BTRFS_IOCTL_MAGIC, 62, struct btrfs_ioctl_ino_lookup_user_args)
#endif

#ifndef BTRFS_SUBVOL_SPEC_BY_ID
#define BTRFS_SUBVOL_SPEC_BY_ID (1ULL << 4)
#endif
#ifndef BTRFS_IOC_SNAP_DESTROY_V2
#define BTRFS_IOC_SNAP_DESTROY_V2 _IOW(BTRFS_IOCTL_MAGIC, 63, struct btrfs_ioctl_vol_args_v2)
#endif

namespace btrfs {

// The item layouts read out of a search buffer, as byte offsets (the items
// are packed and little-endian, at any alignment).
namespace item {
// struct btrfs_root_item: after the inode item (160 bytes).
const size_t root_generation = 160;
const size_t root_flags = 208;
const size_t root_legacy_size = 239; // where generation_v2 begins
const size_t root_uuid = 247;
const size_t root_parent_uuid = 263;
const size_t root_received_uuid = 279;
const size_t root_ctransid = 295;
const size_t root_otransid = 303;
const size_t root_stransid = 311;
const size_t root_rtransid = 319;
const size_t root_ctime = 327; // then otime, stime, rtime: 12 bytes each
const size_t root_size = 439;
// struct btrfs_root_ref: dirid, sequence, name_len, then the name.
const size_t ref_dirid = 0;
const size_t ref_name_len = 16;
const size_t ref_size = 18;
// struct btrfs_dir_item: location (objectid, type, offset), transid,
// data_len, name_len, type, then the name.
const size_t dir_location = 0;
const size_t dir_name_len = 27;
const size_t dir_size = 30;
} // namespace item

#ifdef VK_HAVE_BTRFS_TREE_H
static_assert(offsetof(struct btrfs_root_item, generation) == item::root_generation, "layout");
static_assert(offsetof(struct btrfs_root_item, flags) == item::root_flags, "layout");
static_assert(offsetof(struct btrfs_root_item, generation_v2) == item::root_legacy_size, "layout");
static_assert(offsetof(struct btrfs_root_item, uuid) == item::root_uuid, "layout");
static_assert(offsetof(struct btrfs_root_item, received_uuid) == item::root_received_uuid,
              "layout");
static_assert(offsetof(struct btrfs_root_item, ctime) == item::root_ctime, "layout");
static_assert(sizeof(struct btrfs_root_item) == item::root_size, "layout");
static_assert(sizeof(struct btrfs_root_ref) == item::ref_size, "layout");
static_assert(offsetof(struct btrfs_dir_item, name_len) == item::dir_name_len, "layout");
static_assert(sizeof(struct btrfs_dir_item) == item::dir_size, "layout");
#endif

inline uint64_t le64_at(const unsigned char *p)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = (value << 8) | p[i];
    return value;
}

inline uint32_t le32_at(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint16_t le16_at(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// A path argument: the object as given (named in errors) and its bytes.
struct Path {
    PyObject *obj = nullptr;
    PyObject *bytes = nullptr;
    const char *text = nullptr;
    Path() = default;
    Path(const Path &) = delete;
    Path &operator=(const Path &) = delete;
    ~Path() { Py_XDECREF(bytes); }
    // 1, or 0 with an exception set.
    int set(PyObject *o)
    {
        obj = o;
        text = vk::fs_text(o, &bytes);
        return text != nullptr;
    }
};

// An fd closed when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            vk::close_quietly(fd);
    }
};

// calls.cpp
//
// The path opened for an ioctl (read-only, non-blocking, close-on-exec; at
// dir_fd unless AT_FDCWD), or -1 with the error set naming path.
int open_path(const Path &path, int flags = 0, int dir_fd = AT_FDCWD, const char *at = nullptr);
long ioctl_retrying(int fd, unsigned long request, void *arg);
// The path argument arg taken into path and opened into fd as open_path
// opens it: 1, or 0 with the error set.
int open_arg(PyObject *arg, Path &path, Fd &fd);
// The ioctl request made on the path argument arg, opened as open_arg
// opens it: 1, or 0 with the error set (ioctl_error's).
int path_ioctl(PyObject *arg, unsigned long request, void *data);
// The error of a failed ioctl on fd (ret < 0): after ENOTTY or EINVAL from
// a file that is not on Btrfs, an OSError saying so; nothing new after
// vk::RAISED. Always null.
PyObject *ioctl_error(long ret, int fd, PyObject *path);
// A UUID as text, or None where it is all zeros (new reference).
PyObject *uuid_text(const unsigned char *uuid);
// Seconds as a float, or None where both parts are zero (new reference).
PyObject *seconds(uint64_t sec, uint32_t nsec);

// A record's fields from GET_SUBVOL_INFO, as roots() gives them, dir_path
// in its place (new reference; null with an error set).
PyObject *info_row(const struct btrfs_ioctl_get_subvol_info_args &info, PyObject *dir_path);

// The tables of functions, one for each file.
extern PyMethodDef query_methods[];
extern PyMethodDef search_methods[];
extern PyMethodDef change_methods[];
extern PyMethodDef walk_methods[];

} // namespace btrfs

#endif // VELKORA_BTRFS_H

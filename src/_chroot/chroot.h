// velkora._chroot's private header: a plan of mounts made under a root, and
// what carries it out, in this process or in a child between fork and exec.
#ifndef VELKORA_CHROOT_CHROOT_H
#define VELKORA_CHROOT_CHROOT_H

#include "velkora.h"

#include <linux/stat.h>
#include <sys/syscall.h>

namespace rooted {

// What a step does at its target, a path inside the root.
enum Kind {
    KIND_FS = 1,   // a new filesystem of type source, with params, attached there
    KIND_BIND = 2, // the host's source bound there (recursively, with attr)
    KIND_DIR = 3,  // a directory made there, where there is none
    KIND_FILE = 4, // an empty file made there, where there is none
    KIND_LINK = 5, // a symbolic link to source made there
    // The host's source bound read-only onto the place target names, a
    // symbolic link there followed inside the root and what it names made
    // where missing on a filesystem the plan mounted; where none can be had,
    // passed over (the step's warned errno set), never a failure.
    KIND_RESOLV = 6,
};

// One step, its strings those of the plan's bytes objects (kept alive by
// the plan, and copied with the rest of memory into a forked child).
struct Step {
    int kind;
    const char *target;
    const char *source;
    const char *const *params; // KIND_FS: key, value pairs (value null: a flag), then null
    unsigned long long attr;   // MOUNT_ATTR_* for the mount made
    int recursive;
    unsigned int mode;
    int warned; // KIND_RESOLV: the errno it was passed over with, or 0
};

struct Plan {
    Step *steps;
    Py_ssize_t count;
    PyObject *owner; // the tuple the strings are in
};

// A plan from a tuple of (kind, target, source, params, attr, recursive,
// mode); 0, or -1 with an exception set. plan_free releases it.
int plan_from(PyObject *steps, Plan *plan);
void plan_free(Plan *plan);

// A place in the root's own tree a mount needs: made where missing (with the
// directories above it), and removed again afterwards.
struct Place {
    const char *path;
    int directory; // a directory, or else an empty file
    int link_left; // a symbolic link there is the step's to follow, not made
};

// What was made: the first depth names of a place's path, and what it is
// (its device and inode), so that only that is removed again.
struct Made {
    Py_ssize_t place;
    int depth;
    unsigned int dev_major;
    unsigned int dev_minor;
    unsigned long long ino;
};

struct Places {
    Place *places;
    Py_ssize_t count;
    Made *made; // room for every name of every place
    Py_ssize_t made_count;
    PyObject *owner;
};

// Why a place could not be had, besides a failed call.
enum Refusal { NO_REFUSAL = 0, LEADS_TO_ROOT = 1, NO_PLACE = 2 };

// Places from a tuple of (path, directory, link_left); 0, or -1 with an
// exception set. places_free releases them.
int places_from(PyObject *items, Places *places);
void places_free(Places *places);

// Makes each place missing under root, recording it in places->made: 0, or
// -1 with errno, *failed the place, *depth its names looked at and *refusal
// why where no call failed. System calls only.
int make_places(int root, Places *places, Py_ssize_t *failed, int *depth, int *refusal);

// Removes what make_places made, innermost first, where it is still as made
// (the same empty directory or empty file); what is not is left.
void remove_places(int root, Places *places);

// The number of names in path.
int names_in(const char *path);

// The first depth names of path, as an absolute path in buffer (PATH_MAX).
void prefix_of(const char *path, int depth, char *buffer);

// Removes the place at path (made by make_places, as made) where it is
// still that: the same empty directory or empty file.
void remove_place(int root, const char *path, const Made &made);

// The OSError of a place refused: named by the path looked at.
PyObject *place_error(const Places *places, Py_ssize_t i, int depth, int refusal, int saved_errno);

// An O_PATH fd of path resolved inside root (an fd of the root directory):
// symbolic links and ".." never lead out of it. -1 with errno on failure.
// A system call only, as everything below.
int resolve(int root, const char *path, int flags);

// The place path (PATH_MAX bytes) names inside root, links followed there:
// each name missing made on the plan's own tmpfs (the last a directory
// where directory, else an empty file), a link that leads nowhere followed
// by its text, as the kernel would follow it. 0 with path the place, or -1
// with errno.
int placed(int root, char *path, bool directory);

// Carries out plan's steps under root in order: 0, or -1 with errno and
// *failed set to the step that failed. Safe between fork and exec: system
// calls only, no allocation.
int carry_out(int root, const Plan *plan, Py_ssize_t *failed);

// The steps passed over (KIND_RESOLV): a list of (index, errno), or null.
PyObject *warnings_of(const Plan *plan);

// OSError for step i of plan, naming its target (and source); always null.
PyObject *step_error(const Plan *plan, Py_ssize_t i, int saved_errno);

// The directory holding target, resolved in root, and target's last name
// (in buffer, PATH_MAX bytes). -1 with errno on failure.
int parent_of(int root, const char *target, char *buffer, const char **name);

// What parent_of finds, and whether the last name there is a symbolic link.
struct Parent {
    int fd;
    const char *name;
    bool link;
    char buffer[PATH_MAX];
};

// Fills *parent: its fd, or -1 with errno.
int open_parent(int root, const char *target, Parent *parent);

// statx(2) by number (the C library's stat calls are newer symbols than the
// wheels' baseline).
int stat_of(int dirfd, const char *path, int flags, struct statx *st);

// Closes fd keeping errno; returns ret.
int closing(int fd, int ret);

extern PyMethodDef spawn_methods[];
extern PyMethodDef places_methods[];
extern PyMethodDef setup_methods[];

} // namespace rooted

#endif // VELKORA_CHROOT_CHROOT_H

// velkora._chroot's private header: a plan of mounts made under a root, and
// what carries it out, in this process or in a child between fork and exec.
#ifndef VELKORA_CHROOT_CHROOT_H
#define VELKORA_CHROOT_CHROOT_H

#include "velkora.h"

#include <sys/syscall.h>

namespace rooted {

// What a step does at its target, a path inside the root.
enum Kind {
    KIND_FS = 1,   // a new filesystem of type source, with params, attached there
    KIND_BIND = 2, // the host's source bound there (recursively, with attr)
    KIND_DIR = 3,  // a directory made there, where there is none
    KIND_FILE = 4, // an empty file made there, where there is none
    KIND_LINK = 5, // a symbolic link to source made there
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

// An O_PATH fd of path resolved inside root (an fd of the root directory):
// symbolic links and ".." never lead out of it. -1 with errno on failure.
// A system call only, as everything below.
int resolve(int root, const char *path, int flags);

// Carries out plan's steps under root in order: 0, or -1 with errno and
// *failed set to the step that failed. Safe between fork and exec: system
// calls only, no allocation.
int carry_out(int root, const Plan *plan, Py_ssize_t *failed);

// OSError for step i of plan, naming its target (and source); always null.
PyObject *step_error(const Plan *plan, Py_ssize_t i, int saved_errno);

extern PyMethodDef spawn_methods[];
extern PyMethodDef setup_methods[];

} // namespace rooted

#endif // VELKORA_CHROOT_CHROOT_H

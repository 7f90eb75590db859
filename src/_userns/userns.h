// velkora._userns: a user namespace made by a short-lived child, which
// holds it while the caller gives it its maps and opens it.
#ifndef VELKORA_USERNS_USERNS_H
#define VELKORA_USERNS_USERNS_H

#include "velkora.h"

#include <sys/types.h>

#ifndef __WALL
#define __WALL 0x40000000
#endif
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC 4U
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace userns {

// Frees the stack a child ran on in the caller's memory. Under
// AddressSanitizer the child's frames left their redzones poisoned in the
// shadow the two share, which a debug allocator's fill of freed memory
// would then be taken to overrun: they are cleared first.
inline void free_child_stack(char *stack, size_t size)
{
#if defined(__SANITIZE_ADDRESS__)
    if (stack != nullptr)
        __asan_unpoison_memory_region(stack, size);
#else
    (void)size;
#endif
    PyMem_RawFree(stack);
}

// waitid's P_PIDFD (Linux 5.4), which glibc headers before 2.36 lack.
const int P_PIDFD_ID = 3;

// The module's state: the Owner type, made by the exec slot.
struct ModuleState {
    PyObject *owner_type;
};

inline ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// The Owner type's PyType_Spec (owner.cpp).
PyType_Spec *owner_spec();

// A new Owner of fd; null with an exception, the fd then closed.
PyObject *owned(PyObject *module, int fd);

// A child in a new user namespace, waiting until the caller lets it go.
struct Holder {
    long pid = -1;
    int pidfd = -1;        // -1 where the kernel has no pidfds (before 5.2)
    int release = -1;      // the write end of the pipe the child waits on
    int wait_end = -1;     // its read end, where the child shares the caller's fd table
    char *stack = nullptr; // the stack of a child that shares the caller's memory
};

// Clones the holder: 0, or -1 with errno (nothing left). Run without the
// interpreter lock.
int start(Holder *h);

// Lets the holder go and reaps it (nothing can stop this: the child ends
// as soon as the byte is written). Run without the interpreter lock.
void finish(Holder *h);

// What a helper program did: its wait status, its exec's errno (0: it
// ran), and the start of what it wrote to stderr.
struct Outcome {
    int status = 0;
    int exec_errno = 0;
    size_t said = 0;
    char text[2048] = {};
};

// Runs the program at path (argv, the caller's environment, stdin and
// stdout; stderr read into out) and reaps it: 0, or -1 with errno where it
// could not be started. Run without the interpreter lock.
int run_helper(const char *path, char *const *argv, Outcome *out);

} // namespace userns

#endif // VELKORA_USERNS_USERNS_H

// velkora._chroot's child processes: what the caller hands the init of a
// command's PID namespace, and what they report back.
#ifndef VELKORA_CHROOT_SPAWN_H
#define VELKORA_CHROOT_SPAWN_H

#include "chroot.h"

#include <sched.h>
#include <signal.h>

// clone(2)'s pidfd of the child, in <sched.h> from glibc 2.31.
#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace rooted {

// Where the child failed, told to the parent through the report pipe.
// AT_WARN is no failure: a step passed over, the command started all the
// same.
enum Stage : unsigned char {
    AT_STEP,
    AT_PRIVATE,
    AT_STDIO,
    AT_ROOT,
    AT_CWD,
    AT_EXEC,
    AT_PLACE,
    AT_INIT,
    AT_WARN,
};

struct Report {
    int stage;
    int index;
    int error;
    int depth;   // AT_PLACE: the names of the place looked at
    int refusal; // AT_PLACE: why, where no call failed
};

// What the init takes for "the caller is gone, end everything": the
// signal PR_SET_PDEATHSIG sends, and the caller's own on an interrupt or
// a timeout.
constexpr int END_SIGNAL = SIGUSR1;

// What the child needs, all made before the clone.
struct Child {
    int root = -1;
    const char *root_path = nullptr; // where new_namespace, the root looked up again in it
    Plan *plan = nullptr;
    Places *places = nullptr;
    char *const *argv = nullptr;
    char *const *envp = nullptr;
    const char *cwd = nullptr;
    int fds[3] = {-1, -1, -1};
    int caller = -1; // a pidfd of the caller, -1 where the kernel has none
    bool new_namespace = false;
    // With a user namespace of its own: the pipe the init waits on until the
    // caller has written its maps (one byte: go on; its end: give up).
    int maps[2] = {-1, -1};
    int report = -1;       // write ends: failures and warnings, closed at the exec
    int status = -1;       // the command's wait status, written by the init at its end
    char *stack = nullptr; // the top of the command's stack while it shares the init's memory
};

// The room the command has on that stack until its exec: a plan's steps
// and a PATH lookup use a few PATH_MAX buffers.
constexpr size_t COMMAND_STACK = 256 * 1024;

// The init of the PID namespace (child.cpp): never returns.
[[noreturn]] void init_main(Child *c);

} // namespace rooted

#endif // VELKORA_CHROOT_SPAWN_H

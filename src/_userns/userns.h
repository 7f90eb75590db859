// velkora._userns: a user namespace made by a short-lived child, which
// holds it while the caller gives it its maps and opens it.
#ifndef VELKORA_USERNS_USERNS_H
#define VELKORA_USERNS_USERNS_H

#include "velkora.h"

#include <sys/types.h>

namespace userns {

// A child in a new user namespace, waiting until the caller lets it go.
struct Holder {
    long pid = -1;
    int pidfd = -1;   // -1 where the kernel has no pidfds (before 5.2)
    int release = -1; // the write end of the pipe the child waits on
};

// Clones the holder: 0, or -1 with errno (nothing left). Run without the
// interpreter lock.
int start(Holder *h);

// Lets the holder go and reaps it (nothing can stop this: the child ends
// as soon as its pipe closes). Run without the interpreter lock.
void finish(Holder *h);

} // namespace userns

#endif // VELKORA_USERNS_USERNS_H

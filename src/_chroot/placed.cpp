// velkora._chroot: the place a bind of a plan goes to, as the root's own
// processes would find it: a symbolic link that leads nowhere followed by
// its text inside the root, and each name missing made on a filesystem the
// plan mounted (/run, /tmp), never in the root's own tree. System calls
// only, as everything a plan carries out.

#include "chroot.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace rooted {

// Whether the directory dir is on one of the plan's own tmpfs (/run, /tmp),
// where a name may be made that goes with them.
static bool on_plan_fs(int root, int dir)
{
    struct statx at = {};
    if (stat_of(dir, "", AT_EMPTY_PATH, &at) != 0)
        return false;
    static const char *const plan_fs[] = {"/run", "/tmp"};
    return std::any_of(std::begin(plan_fs), std::end(plan_fs), [root, &at](const char *fs) {
        struct statx st = {};
        int fd = resolve(root, fs, O_PATH | O_DIRECTORY);
        return fd >= 0 && closing(fd, stat_of(fd, "", AT_EMPTY_PATH, &st)) == 0 &&
               st.stx_dev_major == at.stx_dev_major && st.stx_dev_minor == at.stx_dev_minor;
    });
}

// Where path goes on after its first depth names.
static const char *after_names(const char *path, int depth)
{
    int n = 0;
    const char *p = path;
    for (; *p != '\0'; p++) {
        if (*p != '/' && (p == path || p[-1] == '/') && ++n > depth)
            break;
    }
    while (p > path && p[-1] == '/')
        p--;
    return p;
}

// Appends text to out (PATH_MAX bytes, *used of them taken); false where it
// does not fit.
static bool append(char *out, size_t *used, const char *text)
{
    size_t n = strlen(text);
    if (*used + n >= PATH_MAX)
        return false;
    vk::copy_bytes(out + *used, text, n + 1);
    *used += n;
    return true;
}

// path (PATH_MAX bytes) with the link at its first depth names, whose text
// is link, put in their place, as the kernel follows it.
static int follow(char *path, int depth, const char *link)
{
    char out[PATH_MAX];
    size_t used = 0;
    out[0] = '\0';
    if (link[0] != '/')
        prefix_of(path, depth - 1, out);
    used = strlen(out);
    if (!append(out, &used, "/") || !append(out, &used, link) ||
        !append(out, &used, after_names(path, depth))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    vk::copy_bytes(path, out, used + 1);
    return 0;
}

// Follows the symbolic link name in parent (closed), the n-th name of
// path (PATH_MAX bytes), rewriting path as the kernel would follow it: 0,
// or -1 with errno.
static int follow_link(int parent, const char *name, char *path, int n)
{
    char link[PATH_MAX];
    long length = readlinkat(parent, name, link, sizeof link - 1);
    closing(parent, 0);
    if (length < 0)
        return -1;
    link[length] = '\0';
    return follow(path, n, link);
}

// Makes the missing name in parent (closed) where parent is on the plan's
// own tmpfs: a directory where directory, else an empty file. 0, or -1 with
// errno (ENOENT where parent is in the root's own tree).
static int make_missing(int root, int parent, const char *name, bool directory)
{
    if (!on_plan_fs(root, parent)) {
        errno = ENOENT; // made nowhere in the root's own tree
        return closing(parent, -1);
    }
    int ret = directory ? mkdirat(parent, name, 0755)
                        : openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (ret >= 0 && !directory)
        ret = closing(ret, 0);
    return closing(parent, ret);
}

// The n-th name of path (PATH_MAX bytes) inside root: 0 there or made (a
// directory where directory), 1 a symbolic link that leads nowhere,
// followed (path rewritten), or -1 with errno.
static int place_name(int root, char *path, int n, bool directory)
{
    char prefix[PATH_MAX];
    prefix_of(path, n, prefix);
    int fd = resolve(root, prefix, O_PATH);
    if (fd >= 0)
        return closing(fd, 0);
    if (errno != ENOENT)
        return -1;
    Parent parent;
    if (open_parent(root, prefix, &parent) < 0)
        return -1;
    if (parent.link)
        return follow_link(parent.fd, parent.name, path, n) < 0 ? -1 : 1;
    return make_missing(root, parent.fd, parent.name, directory);
}

int placed(int root, char *path, bool directory)
{
    for (int hops = 0; hops <= 40; hops++) {
        int names = names_in(path);
        int ret = 0;
        for (int n = 1; n <= names && ret == 0; n++)
            ret = place_name(root, path, n, n < names || directory);
        if (ret <= 0)
            return ret;
    }
    errno = ELOOP;
    return -1;
}

} // namespace rooted

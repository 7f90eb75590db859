// velkora._chroot: a plan carried out under a root. Every target is looked
// up with openat2(2)'s RESOLVE_IN_ROOT, so that a symbolic link or ".." in
// the root's tree is followed as the root's own processes would see it and
// never leads outside; each new mount is made detached (fsmount, open_tree)
// and attached to the fd found, with move_mount(2), so that nothing can
// change what the path means between the lookup and the mount.

#include "chroot.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rooted {

int resolve(int root, const char *path, int flags)
{
    struct open_how how = {};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    while (*path == '/')
        path++;
    if (*path == '\0')
        path = ".";
    // EAGAIN: a rename or a mount anywhere on the machine raced a ".." of
    // the path, and the kernel could not tell that it stayed inside; the
    // lookup is made again, as openat2(2) advises, a bounded number of times.
    long fd;
    int races = 0;
    do
        fd = syscall(SYS_openat2, root, path, &how, sizeof how);
    while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++races < 1000)));
    return static_cast<int>(fd);
}

static int make_node(int root, const Step *step)
{
    char buffer[PATH_MAX];
    const char *name;
    int parent = parent_of(root, step->target, buffer, &name);
    if (parent < 0)
        return -1;
    int ret;
    if (step->kind == KIND_DIR) {
        ret = mkdirat(parent, name, step->mode);
    } else if (step->kind == KIND_LINK) {
        ret = symlinkat(step->source, parent, name);
    } else {
        ret =
            openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, step->mode);
        if (ret >= 0)
            ret = closing(ret, 0);
    }
    if (ret < 0 && errno == EEXIST && step->kind != KIND_LINK)
        ret = 0; // there already: what it is, the mount on it tells
    return closing(parent, ret);
}

// Attaches the detached mount tree at target; closes tree.
static int attach(int root, int tree, const char *target)
{
    int at = resolve(root, target, O_PATH);
    if (at < 0)
        return closing(tree, -1);
    long ret = syscall(SYS_move_mount, tree, "", at, "",
                       MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH);
    closing(at, 0);
    return closing(tree, static_cast<int>(ret));
}

// mount_setattr(2) of the detached or attached tree at fd: attr set, and
// propagation (0: left) where given.
static int set_attr(int fd, unsigned int flags, unsigned long long attr,
                    unsigned long long propagation)
{
    // struct mount_attr (attr_set, attr_clr, propagation, userns_fd), which
    // older headers lack.
    unsigned long long values[4] = {attr, 0, propagation, 0};
    return static_cast<int>(
        syscall(SYS_mount_setattr, fd, "", AT_EMPTY_PATH | flags, values, sizeof values));
}

static int mount_fs(int root, const Step *step)
{
    int context = static_cast<int>(syscall(SYS_fsopen, step->source, FSOPEN_CLOEXEC));
    if (context < 0)
        return -1;
    for (const char *const *p = step->params; *p != nullptr; p += 2) {
        long ret = p[1] != nullptr
                       ? syscall(SYS_fsconfig, context, FSCONFIG_SET_STRING, p[0], p[1], 0)
                       : syscall(SYS_fsconfig, context, FSCONFIG_SET_FLAG, p[0], nullptr, 0);
        if (ret < 0)
            return closing(context, -1);
    }
    if (syscall(SYS_fsconfig, context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) < 0)
        return closing(context, -1);
    int tree = static_cast<int>(syscall(SYS_fsmount, context, FSMOUNT_CLOEXEC, step->attr));
    closing(context, 0);
    return tree < 0 ? -1 : attach(root, tree, step->target);
}

static int bind(int root, const Step *step, const char *target)
{
    unsigned int deep = step->recursive != 0 ? AT_RECURSIVE : 0U;
    int tree = static_cast<int>(
        syscall(SYS_open_tree, AT_FDCWD, step->source, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | deep));
    if (tree < 0)
        return -1;
    if (step->attr != 0 && set_attr(tree, deep, step->attr, 0) < 0)
        return closing(tree, -1);
    return attach(root, tree, target);
}

// The step's bind at the place its target names, made on the plan's own
// tmpfs where missing there (KIND_RESOLV: always; KIND_BIND: where the
// target is below /run or /tmp, which covered the place made for it in the
// root's tree), a directory for a directory's bind.
static int bind_placed(int root, const Step *step)
{
    char path[PATH_MAX];
    size_t n = strlen(step->target);
    if (n >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    vk::copy_bytes(path, step->target, n + 1);
    struct statx source = {};
    if (step->kind == KIND_BIND) {
        int at = resolve(root, path, O_PATH);
        if (at >= 0 || errno != ENOENT)
            return at < 0 ? -1 : closing(at, bind(root, step, path));
        if (stat_of(AT_FDCWD, step->source, 0, &source) != 0)
            return -1;
    }
    return placed(root, path, S_ISDIR(source.stx_mode)) < 0 ? -1 : bind(root, step, path);
}

int carry_out(int root, const Plan *plan, Py_ssize_t *failed)
{
    for (Py_ssize_t i = 0; i < plan->count; i++) {
        Step *step = &plan->steps[i];
        int ret;
        if (step->kind == KIND_FS) {
            ret = mount_fs(root, step);
        } else if (step->kind == KIND_BIND) {
            ret = bind_placed(root, step);
        } else if (step->kind == KIND_RESOLV) { // passed over, never failing the plan
            step->warned = bind_placed(root, step) < 0 ? errno : 0;
            ret = 0;
        } else {
            ret = make_node(root, step);
        }
        if (ret < 0) {
            *failed = i;
            return -1;
        }
    }
    return 0;
}

// The error of step i: OSError naming its target, or where it has one, its
// source too.
PyObject *step_error(const Plan *plan, Py_ssize_t i, int saved_errno)
{
    PyObject *step = PyTuple_GET_ITEM(plan->owner, i);
    PyObject *target = PyTuple_GET_ITEM(step, 1);
    PyObject *source = PyTuple_GET_ITEM(step, 2);
    PyObject *first =
        PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(target), PyBytes_GET_SIZE(target));
    if (first == nullptr)
        return nullptr;
    errno = saved_errno;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, first,
                                          source != Py_None ? source : nullptr);
    Py_DECREF(first);
    return nullptr;
}

PyDoc_STRVAR(chroot_resolve_doc,
             "resolve($module, /, root, path, flags)\n--\n\n"
             "An fd (non-inheritable) of path looked up inside root, an fd of the root\n"
             "directory: openat2(2) with RESOLVE_IN_ROOT and RESOLVE_NO_MAGICLINKS, so\n"
             "that no symbolic link or \"..\" leads out of it. Raises OSError.");

static PyObject *chroot_resolve(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root", "path", "flags", nullptr};
    int root;
    PyObject *path;
    int flags;
    if (!vk::parse_args(args, kwargs, "O&O&i:resolve", kwlist, vk::to_fd, &root,
                        PyUnicode_FSConverter, &path, &flags))
        return nullptr;
    const char *name = PyBytes_AS_STRING(path); // taken with the GIL held
    long fd;
    Py_BEGIN_ALLOW_THREADS
        fd = resolve(root, name, flags);
    Py_END_ALLOW_THREADS
    PyObject *result = fd >= 0 ? PyLong_FromLong(fd) : vk::os_error(errno, path);
    Py_DECREF(path);
    return result;
}

// The warnings of a plan carried out: a list of (step, errno), or null.
PyObject *warnings_of(const Plan *plan)
{
    PyObject *list = PyList_New(0);
    for (Py_ssize_t i = 0; list != nullptr && i < plan->count; i++) {
        if (plan->steps[i].warned == 0)
            continue;
        PyObject *item = Py_BuildValue("(ni)", i, plan->steps[i].warned);
        if (item == nullptr || PyList_Append(list, item) < 0)
            Py_CLEAR(list);
        Py_XDECREF(item);
    }
    return list;
}

namespace {

// A root bound onto itself for setup_root, and what was done so far.
struct Bound {
    const char *path = nullptr;
    int original = -1; // the root as it was, under everything below
    int whole = -1;    // the root's tree, its mounts cloned, detached or on bare
    int bare = -1;     // the root alone, attached onto the original
    int attached = 0;  // how many of bare and whole are attached
};

} // namespace

static const unsigned int CLONE_FLAGS = OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH;

// The root's tree bound onto itself where no other namespace sees it: its
// mounts cloned detached (whole) and made private there; then the root
// alone (bare) cloned, made private, attached onto the root and made
// private again (attached under a shared parent, it joined a new peer group
// with its copies in the parent's peers, which this leaves: they have
// nothing under them, and go again with it); then whole attached onto bare,
// which no longer propagates. 0, or -1 with errno.
static int bind_root(Bound *b)
{
    b->original = open(b->path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (b->original < 0)
        return -1;
    b->whole =
        static_cast<int>(syscall(SYS_open_tree, b->original, "", CLONE_FLAGS | AT_RECURSIVE));
    if (b->whole < 0 || set_attr(b->whole, AT_RECURSIVE, 0, MS_PRIVATE) < 0)
        return -1;
    b->bare = static_cast<int>(syscall(SYS_open_tree, b->original, "", CLONE_FLAGS));
    if (b->bare < 0 || set_attr(b->bare, 0, 0, MS_PRIVATE) < 0)
        return -1;
    const unsigned int empty = MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH;
    if (syscall(SYS_move_mount, b->bare, "", b->original, "", empty) < 0)
        return -1;
    b->attached = 1;
    if (set_attr(b->bare, 0, 0, MS_PRIVATE) < 0 ||
        syscall(SYS_move_mount, b->whole, "", b->bare, "", empty) < 0)
        return -1;
    b->attached = 2;
    return 0;
}

// Takes down what bind_root attached, top first, each with all under it
// (nothing holds them: no command ran), then removes the places made
// unless another command or Root holds the root (lock, the root locked
// shared, cannot be had exclusive).
static void unbind_root(Bound *b, Places *places, int lock)
{
    int saved = errno;
    closing(b->whole, 0);
    closing(b->bare, 0);
    b->whole = b->bare = -1;
    for (; b->attached > 0; b->attached--)
        syscall(SYS_umount2, b->path, MNT_DETACH);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) == 0)
        remove_places(b->original, places);
    errno = saved;
}

namespace {

// Where setup_root stopped, and why.
struct Stop {
    int stage = 0; // 0: binding, 1: places, 2: the plan, 3: done
    int saved_errno = 0;
    Py_ssize_t place = -1; // stage 1: the place, its names looked at and why
    int depth = 0;
    int refusal = NO_REFUSAL;
    Py_ssize_t failed = -1; // stage 2: the step
};

} // namespace

// Binds the root, makes the places and carries out the plan, each once the
// one before is done; what was done is undone unless everything was, and
// then only bare is closed. System calls only: the GIL is not held.
static void set_up(Bound *b, Places *places, const Plan *plan, int lock, Stop *stop)
{
    if (bind_root(b) == 0) {
        stop->stage = 1;
        if (make_places(b->whole, places, &stop->place, &stop->depth, &stop->refusal) == 0) {
            stop->stage = 2;
            if (carry_out(b->whole, plan, &stop->failed) == 0)
                stop->stage = 3;
        }
    }
    stop->saved_errno = errno;
    if (stop->stage < 3)
        unbind_root(b, places, lock);
    else
        closing(b->bare, 0);
}

// The OSError of a setup stopped short: naming the root (path, a bytes),
// the place or the step.
static void setup_error(const Stop &stop, PyObject *path, const Places *places, const Plan *plan)
{
    if (stop.stage == 0) {
        PyObject *name =
            PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path), PyBytes_GET_SIZE(path));
        if (name != nullptr)
            vk::os_error(stop.saved_errno, name);
        Py_XDECREF(name);
    } else if (stop.stage == 1) {
        place_error(places, stop.place, stop.depth, stop.refusal, stop.saved_errno);
    } else {
        step_error(plan, stop.failed, stop.saved_errno);
    }
}

// The places made, each (path, major, minor, inode), outermost first; null
// with an exception.
static PyObject *made_of(const Places *places)
{
    PyObject *made = PyTuple_New(places->made_count);
    for (Py_ssize_t i = 0; made != nullptr && i < places->made_count; i++) {
        char prefix[PATH_MAX];
        const Made &m = places->made[i];
        prefix_of(places->places[m.place].path, m.depth, prefix);
        PyObject *item = Py_BuildValue("(yIIK)", prefix, m.dev_major, m.dev_minor, m.ino);
        if (item == nullptr)
            Py_CLEAR(made);
        else
            PyTuple_SET_ITEM(made, i, item);
    }
    return made;
}

// What setup_root returns for a root set up: (fd, made, warnings). Where
// that cannot be had (no memory), everything is undone and null returned.
static PyObject *set_up_root(Bound *b, Places *places, const Plan *plan, int lock)
{
    PyObject *result = nullptr;
    PyObject *made = made_of(places);
    PyObject *warned = made != nullptr ? warnings_of(plan) : nullptr;
    if (warned != nullptr)
        result = Py_BuildValue("(iNN)", b->whole, made, warned);
    if (result == nullptr) { // no memory: nothing is kept
        Py_XDECREF(made);
        Py_BEGIN_ALLOW_THREADS
            b->attached = 2;
            unbind_root(b, places, lock);
        Py_END_ALLOW_THREADS
    }
    return result;
}

PyDoc_STRVAR(chroot_setup_root_doc,
             "setup_root($module, /, path, places, plan, lock=-1)\n--\n\n"
             "Binds the root at path onto itself where no other mount namespace sees it\n"
             "(the mounts below it cloned, private), makes the places missing in its\n"
             "tree and carries out plan there, each step's target looked up inside the\n"
             "root. Returns (fd, made, warnings): an O_PATH fd of the bound root, the\n"
             "places made, as (path, major, minor, inode), outermost first, and the\n"
             "steps passed over, as (index, errno). Raises OSError naming what\n"
             "failed, everything undone (the places made left where lock, an fd of\n"
             "the root locked shared, cannot be had exclusive: another uses them).");

static PyObject *chroot_setup_root(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"path", "places", "plan", "lock", nullptr};
    PyObject *path;
    PyObject *place_items;
    PyObject *steps;
    int lock = -1;
    if (!vk::parse_args(args, kwargs, "O!OO|i:setup_root", kwlist, &PyBytes_Type, &path,
                        &place_items, &steps, &lock))
        return nullptr;
    Plan plan;
    if (plan_from(steps, &plan) < 0)
        return nullptr;
    Places places;
    if (places_from(place_items, &places) < 0) {
        plan_free(&plan);
        return nullptr;
    }
    Bound b;
    b.path = PyBytes_AS_STRING(path);
    Stop stop;
    // Changes to the mount table, each made once: EINTR is an answer.
    Py_BEGIN_ALLOW_THREADS
        set_up(&b, &places, &plan, lock, &stop);
    Py_END_ALLOW_THREADS
    PyObject *result = nullptr;
    if (stop.stage < 3)
        setup_error(stop, path, &places, &plan);
    else
        result = set_up_root(&b, &places, &plan, lock);
    closing(b.original, 0);
    places_free(&places);
    plan_free(&plan);
    return result;
}

PyMethodDef setup_methods[] = {
    VK_METHOD(chroot, resolve),
    VK_METHOD(chroot, setup_root),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace rooted

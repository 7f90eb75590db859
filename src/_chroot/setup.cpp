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
    long fd;
    do
        fd = syscall(SYS_openat2, root, path, &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

// Closes fd keeping errno; returns ret.
static int closing(int fd, int ret)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return ret;
}

// The directory holding target, resolved in root, and target's last name
// (in buffer, which must hold PATH_MAX bytes). -1 with errno on failure.
static int parent_of(int root, const char *target, char *buffer, const char **name)
{
    size_t n = 0;
    while (n < PATH_MAX && target[n] != '\0')
        n++;
    if (n == 0 || n >= PATH_MAX) {
        errno = n == 0 ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    vk::copy_bytes(buffer, target, n + 1);
    while (n > 1 && buffer[n - 1] == '/') // a trailing slash names the same place
        buffer[--n] = '\0';
    size_t slash = n;
    while (slash > 0 && buffer[slash - 1] != '/')
        slash--;
    *name = buffer + slash;
    if (**name == '\0' || strcmp(*name, ".") == 0 || strcmp(*name, "..") == 0) {
        errno = EINVAL; // the root itself, or no name of its own
        return -1;
    }
    if (slash > 0)
        buffer[slash - 1] = '\0';
    return resolve(root, slash > 1 ? buffer : "/", O_PATH | O_DIRECTORY);
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

// Attaches the detached mount tree at the target; closes tree.
static int attach(int root, int tree, const Step *step)
{
    int at = resolve(root, step->target, O_PATH);
    if (at < 0)
        return closing(tree, -1);
    long ret = syscall(SYS_move_mount, tree, "", at, "",
                       MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH);
    closing(at, 0);
    return closing(tree, static_cast<int>(ret));
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
    return tree < 0 ? -1 : attach(root, tree, step);
}

static int bind(int root, const Step *step)
{
    unsigned int deep = step->recursive != 0 ? AT_RECURSIVE : 0U;
    int tree = static_cast<int>(
        syscall(SYS_open_tree, AT_FDCWD, step->source, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | deep));
    if (tree < 0)
        return -1;
    if (step->attr != 0) {
        // struct mount_attr (attr_set, attr_clr, propagation, userns_fd),
        // which older headers lack.
        unsigned long long attr[4] = {step->attr, 0, 0, 0};
        if (syscall(SYS_mount_setattr, tree, "", AT_EMPTY_PATH | deep, attr, sizeof attr) < 0)
            return closing(tree, -1);
    }
    return attach(root, tree, step);
}

int carry_out(int root, const Plan *plan, Py_ssize_t *failed)
{
    for (Py_ssize_t i = 0; i < plan->count; i++) {
        const Step *step = &plan->steps[i];
        int ret;
        if (step->kind == KIND_FS)
            ret = mount_fs(root, step);
        else if (step->kind == KIND_BIND)
            ret = bind(root, step);
        else
            ret = make_node(root, step);
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

static PyObject *chroot_resolve(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root", "path", "flags", nullptr};
    int root;
    PyObject *path;
    int flags;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&i:resolve", const_cast<char **>(kwlist),
                                     vk::to_fd, &root, PyUnicode_FSConverter, &path, &flags))
        return nullptr;
    long fd;
    Py_BEGIN_ALLOW_THREADS
        fd = resolve(root, PyBytes_AS_STRING(path), flags);
    Py_END_ALLOW_THREADS
    PyObject *result = fd >= 0 ? PyLong_FromLong(fd) : vk::os_error(errno, path);
    Py_DECREF(path);
    return result;
}

PyDoc_STRVAR(chroot_setup_doc,
             "setup($module, /, root, plan)\n--\n\n"
             "Carries out plan under root (an fd of the root directory) in this process:\n"
             "each step's target looked up inside root, each mount made detached and\n"
             "attached there with move_mount(2). Raises OSError naming the step's target\n"
             "at the first that fails; the steps before it stay done.");

static PyObject *chroot_setup(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root", "plan", nullptr};
    int root;
    PyObject *steps;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O:setup", const_cast<char **>(kwlist),
                                     vk::to_fd, &root, &steps))
        return nullptr;
    Plan plan;
    if (plan_from(steps, &plan) < 0)
        return nullptr;
    Py_ssize_t failed = -1;
    int ret;
    int saved_errno;
    // The steps change the mount table, which the caller looks at on failure:
    // made once, never again after EINTR.
    Py_BEGIN_ALLOW_THREADS
        ret = carry_out(root, &plan, &failed);
        saved_errno = errno;
    Py_END_ALLOW_THREADS
    PyObject *result = ret == 0 ? Py_NewRef(Py_None) : step_error(&plan, failed, saved_errno);
    plan_free(&plan);
    return result;
}

PyMethodDef setup_methods[] = {
    VK_METHOD(chroot, resolve),
    VK_METHOD(chroot, setup),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace rooted

// velkora._chroot: the places in a root's own tree that its mounts need,
// made where missing and removed again afterwards. Everything between the
// parsing and the errors is system calls only: the init of a command's PID
// namespace runs it between fork and exit.

#include "chroot.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace rooted {

int stat_of(int dirfd, const char *path, int flags, struct statx *st)
{
    return static_cast<int>(
        vk::statx_call(dirfd, path, flags, STATX_TYPE | STATX_INO | STATX_SIZE, st));
}

int closing(int fd, int ret)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return ret;
}

int names_in(const char *path)
{
    int n = 0;
    for (const char *p = path; *p != '\0'; p++) {
        if (*p != '/' && (p == path || p[-1] == '/'))
            n++;
    }
    return n;
}

void prefix_of(const char *path, int depth, char *buffer)
{
    size_t out = 0;
    int n = 0;
    for (const char *p = path; *p != '\0' && out + 2 < PATH_MAX; p++) {
        if (*p == '/')
            continue;
        if (p == path || p[-1] == '/') {
            if (++n > depth)
                break;
            buffer[out++] = '/';
        }
        buffer[out++] = *p;
    }
    if (out == 0)
        buffer[out++] = '/';
    buffer[out] = '\0';
}

int parent_of(int root, const char *target, char *buffer, const char **name)
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

int open_parent(int root, const char *target, Parent *parent)
{
    parent->link = false;
    parent->fd = parent_of(root, target, parent->buffer, &parent->name);
    struct statx st = {};
    if (parent->fd >= 0 && stat_of(parent->fd, parent->name, AT_SYMLINK_NOFOLLOW, &st) == 0)
        parent->link = S_ISLNK(st.stx_mode);
    return parent->fd;
}

static bool same(const struct statx &a, const struct statx &b)
{
    return a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor &&
           a.stx_ino == b.stx_ino;
}

// Whether the last name of path, its directory resolved inside root, is a
// symbolic link.
static bool is_link(int root, const char *path)
{
    Parent parent;
    if (open_parent(root, path, &parent) < 0)
        return false;
    closing(parent.fd, 0);
    return parent.link;
}

// Makes the missing name at prefix (the last of a place's path where last):
// 0 made (what it is in *made), 1 left for the step (a link where
// link_left), -1 with errno.
static int make_one(int root, const Place *place, const char *prefix, bool last, int *refusal,
                    Made *made)
{
    Parent found;
    if (open_parent(root, prefix, &found) < 0)
        return -1;
    int parent = found.fd;
    const char *name = found.name;
    if (last && place->link_left != 0 && found.link)
        return closing(parent, 1);
    int ret;
    if (last && place->directory == 0) {
        ret = openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (ret >= 0)
            ret = closing(ret, 0);
    } else {
        ret = mkdirat(parent, name, 0755);
    }
    if (ret < 0 && errno == EEXIST) { // a link that leads nowhere inside the root
        errno = ENOENT;
        *refusal = NO_PLACE;
    }
    struct statx st = {};
    if (ret == 0 && stat_of(parent, name, AT_SYMLINK_NOFOLLOW, &st) == 0) {
        made->dev_major = st.stx_dev_major;
        made->dev_minor = st.stx_dev_minor;
        made->ino = st.stx_ino;
    }
    return closing(parent, ret);
}

int make_places(int root, Places *places, Py_ssize_t *failed, int *depth, int *refusal)
{
    struct statx top = {};
    if (stat_of(root, "", AT_EMPTY_PATH, &top) != 0)
        return -1;
    char prefix[PATH_MAX];
    for (Py_ssize_t i = 0; i < places->count; i++) {
        const Place *place = &places->places[i];
        int names = names_in(place->path);
        *failed = i;
        for (int n = 1; n <= names; n++) {
            *depth = n;
            prefix_of(place->path, n, prefix);
            int fd = resolve(root, prefix, O_PATH);
            if (fd >= 0) {
                struct statx st = {};
                int ret = closing(fd, stat_of(fd, "", AT_EMPTY_PATH, &st));
                if (ret == 0 && same(st, top)) {
                    // A link to the root itself ("/", "../.."): a mount
                    // there would cover the whole root.
                    errno = EINVAL;
                    *refusal = LEADS_TO_ROOT;
                    return -1;
                }
                continue;
            }
            // A link left for its step that leads nowhere (ENOENT), or
            // round in a loop, or anywhere else: the step's to judge.
            if (errno != ENOENT && (n != names || place->link_left == 0 || !is_link(root, prefix)))
                return -1;
            Made what = {i, n, 0, 0, 0}; // nothing is inode 0: left, if never known
            int made = make_one(root, place, prefix, n == names, refusal, &what);
            if (made < 0)
                return -1;
            if (made == 0)
                places->made[places->made_count++] = what;
        }
    }
    return 0;
}

void remove_place(int root, const char *path, const Made &made)
{
    char buffer[PATH_MAX];
    const char *name;
    int parent = parent_of(root, path, buffer, &name);
    if (parent < 0)
        return;
    // Another's in its place (what was made moved away), in use, or no
    // longer as made: left.
    struct statx st = {};
    if (stat_of(parent, name, AT_SYMLINK_NOFOLLOW, &st) == 0 && st.stx_ino == made.ino &&
        st.stx_dev_major == made.dev_major && st.stx_dev_minor == made.dev_minor) {
        if (S_ISDIR(st.stx_mode))
            unlinkat(parent, name, AT_REMOVEDIR);
        else if (S_ISREG(st.stx_mode) && st.stx_size == 0)
            unlinkat(parent, name, 0);
    }
    closing(parent, 0);
}

void remove_places(int root, Places *places)
{
    char prefix[PATH_MAX];
    while (places->made_count > 0) {
        const Made &m = places->made[--places->made_count];
        prefix_of(places->places[m.place].path, m.depth, prefix);
        remove_place(root, prefix, m);
    }
}

void places_free(Places *places)
{
    PyMem_Free(places->places);
    PyMem_Free(places->made);
    Py_CLEAR(places->owner);
    *places = Places{nullptr, 0, nullptr, 0, nullptr};
}

int places_from(PyObject *items, Places *places)
{
    *places = Places{nullptr, 0, nullptr, 0, nullptr};
    if (!PyTuple_Check(items)) {
        PyErr_SetString(PyExc_TypeError, "places are a tuple of (path, directory, link_left)");
        return -1;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    places->places =
        static_cast<Place *>(PyMem_Malloc(sizeof(Place) * static_cast<size_t>(n > 0 ? n : 1)));
    places->owner = Py_NewRef(items);
    size_t names = 1;
    for (Py_ssize_t i = 0; places->places != nullptr && i < n; i++) {
        Place *place = &places->places[i];
        PyObject *path;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(items, i), "O!pp:place", &PyBytes_Type, &path,
                              &place->directory, &place->link_left)) {
            places_free(places);
            return -1;
        }
        place->path = PyBytes_AS_STRING(path);
        if (strlen(place->path) != static_cast<size_t>(PyBytes_GET_SIZE(path)) ||
            PyBytes_GET_SIZE(path) >= PATH_MAX) {
            PyErr_SetString(PyExc_ValueError, "a place is a path without NUL, below PATH_MAX");
            places_free(places);
            return -1;
        }
        names += static_cast<size_t>(names_in(place->path));
        places->count = i + 1;
    }
    places->made = static_cast<Made *>(PyMem_Malloc(sizeof(Made) * names));
    if (places->places == nullptr || places->made == nullptr) {
        places_free(places);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject *place_error(const Places *places, Py_ssize_t i, int depth, int refusal, int saved_errno)
{
    if (i < 0 || i >= places->count)
        return vk::os_error(saved_errno);
    char prefix[PATH_MAX];
    prefix_of(places->places[i].path, depth, prefix);
    PyObject *name = PyUnicode_DecodeFSDefault(prefix);
    if (name == nullptr)
        return nullptr;
    if (refusal == NO_REFUSAL) {
        vk::os_error(saved_errno, name);
    } else {
        const char *why = refusal == LEADS_TO_ROOT ? "it leads to the root itself"
                                                   : "no place for it inside the root";
        PyObject *args = Py_BuildValue("(isO)", saved_errno, why, name);
        if (args != nullptr) {
            PyErr_SetObject(PyExc_OSError, args);
            Py_DECREF(args);
        }
    }
    Py_DECREF(name);
    return nullptr;
}

PyDoc_STRVAR(chroot_unplace_doc,
             "unplace($module, /, root, made)\n--\n\n"
             "Removes the places in made ((path, major, minor, inode) of each, the path\n"
             "inside root, an fd of the root directory, outermost first, as setup_root\n"
             "made them), innermost first, each where it is still as made: the same\n"
             "empty directory or empty file; any other is left.\n"
             "Raises OSError where root is no directory fd.");

namespace {

// A place unplace removes: its path (the bytes in a tuple of made, which the
// call holds) and what was made there.
struct Unplaced {
    const char *path;
    Made made;
};

} // namespace

static PyObject *chroot_unplace(PyObject * /*self*/, PyObject *args, PyObject *kwargs)
{
    static const char *const kwlist[] = {"root", "made", nullptr};
    int root;
    PyObject *made;
    if (!vk::parse_args(args, kwargs, "O&O!:unplace", kwlist, vk::to_fd, &root, &PyTuple_Type,
                        &made))
        return nullptr;
    // Every path is taken out of its tuple here, with the GIL held: the
    // system calls below touch no Python object.
    Py_ssize_t n = PyTuple_GET_SIZE(made);
    auto *what =
        static_cast<Unplaced *>(PyMem_Malloc(sizeof(Unplaced) * static_cast<size_t>(n + 1)));
    if (what == nullptr)
        return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *path = nullptr;
        Made *m = &what[i].made;
        *m = Made{i, 0, 0, 0, 0};
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(made, i), "O!IIK:made", &PyBytes_Type, &path,
                              &m->dev_major, &m->dev_minor, &m->ino) ||
            PyBytes_GET_SIZE(path) >= PATH_MAX ||
            strlen(PyBytes_AS_STRING(path)) != static_cast<size_t>(PyBytes_GET_SIZE(path))) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "made is a tuple of (path, major, minor, inode)");
            PyMem_Free(what);
            return nullptr;
        }
        what[i].path = PyBytes_AS_STRING(path);
    }
    struct statx st = {};
    int ret;
    Py_BEGIN_ALLOW_THREADS
        ret = stat_of(root, "", AT_EMPTY_PATH, &st);
        if (ret == 0 && !S_ISDIR(st.stx_mode)) {
            ret = -1;
            errno = ENOTDIR;
        }
        for (Py_ssize_t i = n - 1; ret == 0 && i >= 0; i--)
            remove_place(root, what[i].path, what[i].made);
    Py_END_ALLOW_THREADS
    PyMem_Free(what);
    if (ret != 0)
        return vk::os_error(errno);
    Py_RETURN_NONE;
}

PyMethodDef places_methods[] = {
    VK_METHOD(chroot, unplace),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace rooted

/* A stand-in for the kernel, preloaded into a test interpreter.
 *
 * mount() and umount2() are replaced: each call appends one line describing
 * exactly what it received to the file named by VK_LOG, then answers as
 * scripted instead of entering the kernel:
 *
 *   VK_DELAY_MS  sleep this long first; a signal cuts the sleep short and the
 *                call fails with EINTR, as a blocking system call would
 *   VK_DELAY_ONCE  set: only the next call sleeps (a retry after EINTR does not)
 *   VK_ERRNO     fail with this errno (unset or 0: succeed)
 *
 * Lines (strings hex-encoded, "-" for a null pointer):
 *   mount <source> <target> <fstype> <flags as unsigned> <data> <gil>
 *   umount2 <target> <flags as signed> <gil>
 * where <gil> is 1 if the calling thread held the interpreter lock.
 *
 * syscall() is replaced too: the file-descriptor mount calls are recorded
 * and answered the same way (an fd-returning call succeeds with fd 42), with
 * fds and fsconfig's aux as signed ints, flags as unsigned, and for
 * FSCONFIG_SET_BINARY the aux bytes of the value:
 *   fsopen <fs_name> <flags> <gil>
 *   fspick|open_tree <dirfd> <path> <flags> <gil>
 *   fsconfig <fd> <cmd> <key> <value> <aux> <gil>
 *   fsmount <fd> <flags> <attr_flags> <gil>
 *   move_mount <from_dirfd> <from_path> <to_dirfd> <to_path> <flags> <gil>
 *   mount_setattr <dirfd> <path> <flags> <attr_set> <attr_clr> <propagation> <userns_fd> <size>
 * <gil> Every other system call goes to the C library's syscall().
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int held_gil(void)
{
    int (*check)(void) = (int (*)(void))dlsym(RTLD_DEFAULT, "PyGILState_Check");
    return check != NULL && check();
}

static size_t put_hex(char *out, const char *s)
{
    static const char digits[] = "0123456789abcdef";
    size_t n = 0;

    if (s == NULL) {
        out[n++] = '-';
    } else {
        out[n++] = 'x'; /* keeps an empty string from being an empty field */
        for (; *s; s++) {
            out[n++] = digits[(unsigned char)*s >> 4];
            out[n++] = digits[(unsigned char)*s & 15];
        }
    }
    out[n++] = ' ';
    return n;
}

static size_t put_bytes(char *out, const unsigned char *s, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    size_t n = 0;

    out[n++] = 'x';
    for (size_t i = 0; i < len; i++) {
        out[n++] = digits[s[i] >> 4];
        out[n++] = digits[s[i] & 15];
    }
    out[n++] = ' ';
    return n;
}

static size_t hex_size(const char *s)
{
    return s ? 2 * strlen(s) + 2 : 2;
}

static void record(char *line, size_t len)
{
    const char *path = getenv("VK_LOG");
    int fd;

    if (path == NULL)
        return;
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    /* One write per call: lines from concurrent calls never interleave. */
    if (write(fd, line, len) < 0) {
        /* nothing to do: the test will miss the line and fail */
    }
    close(fd);
}

static int answer(void)
{
    const char *delay = getenv("VK_DELAY_MS");
    const char *err = getenv("VK_ERRNO");

    if (delay != NULL && atol(delay) > 0) {
        long ms = atol(delay);
        struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        if (getenv("VK_DELAY_ONCE") != NULL)
            unsetenv("VK_DELAY_MS");
        if (nanosleep(&ts, NULL) != 0) {
            errno = EINTR;
            return -1;
        }
    }
    if (err != NULL && atoi(err) != 0) {
        errno = atoi(err);
        return -1;
    }
    return 0;
}

int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
          const void *data)
{
    size_t size =
        64 + hex_size(source) + hex_size(target) + hex_size(fstype) + hex_size((const char *)data);
    char *line = malloc(size);
    size_t n;
    int gil = held_gil();

    if (line == NULL)
        abort();
    n = (size_t)sprintf(line, "mount ");
    n += put_hex(line + n, source);
    n += put_hex(line + n, target);
    n += put_hex(line + n, fstype);
    n += (size_t)sprintf(line + n, "%lu ", flags);
    n += put_hex(line + n, (const char *)data);
    n += (size_t)sprintf(line + n, "%d\n", gil);
    record(line, n);
    free(line);
    return answer();
}

int umount2(const char *target, int flags)
{
    char *line = malloc(64 + hex_size(target));
    size_t n;
    int gil = held_gil();

    if (line == NULL)
        abort();
    n = (size_t)sprintf(line, "umount2 ");
    n += put_hex(line + n, target);
    n += (size_t)sprintf(line + n, "%d %d\n", flags, gil);
    record(line, n);
    free(line);
    return answer();
}

int umount(const char *target)
{
    /* The module must never use plain umount(2); make it visible if it does. */
    char *line = malloc(64 + hex_size(target));
    size_t n;

    if (line == NULL)
        abort();
    n = (size_t)sprintf(line, "umount ");
    n += put_hex(line + n, target);
    line[n - 1] = '\n';
    record(line, n);
    free(line);
    return answer();
}

/* The file-descriptor mount calls, by their generic numbers. */
enum { OPEN_TREE = 428, MOVE_MOUNT, FSOPEN, FSCONFIG, FSMOUNT, FSPICK, MOUNT_SETATTR = 442 };

struct mount_attr_v0 {
    uint64_t attr_set, attr_clr, propagation, userns_fd;
};

long syscall(long number, ...)
{
    long a[6];
    va_list ap;
    char *line;
    size_t n;
    int gil;

    va_start(ap, number);
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number != OPEN_TREE && number != MOVE_MOUNT && number != FSOPEN && number != FSCONFIG &&
        number != FSMOUNT && number != FSPICK && number != MOUNT_SETATTR) {
        long (*real)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
        return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    gil = held_gil();
    {
        /* Room for the numbers and for each text or binary argument. */
        size_t size = 256;
        if (number == FSOPEN)
            size += hex_size((const char *)a[0]);
        else if (number == FSCONFIG)
            size += hex_size((const char *)a[2]) + ((unsigned)a[1] == 2 && a[3]
                                                        ? 2 * (size_t)(unsigned)a[4] + 2
                                                        : hex_size((const char *)a[3]));
        else if (number == MOVE_MOUNT)
            size += hex_size((const char *)a[1]) + hex_size((const char *)a[3]);
        else if (number != FSMOUNT)
            size += hex_size((const char *)a[1]);
        line = malloc(size);
    }
    if (line == NULL)
        abort();
    switch (number) {
    case FSOPEN:
        n = (size_t)sprintf(line, "fsopen ");
        n += put_hex(line + n, (const char *)a[0]);
        n += (size_t)sprintf(line + n, "%u ", (unsigned)a[1]);
        break;
    case FSPICK:
    case OPEN_TREE:
        n = (size_t)sprintf(line, "%s %d ", number == FSPICK ? "fspick" : "open_tree", (int)a[0]);
        n += put_hex(line + n, (const char *)a[1]);
        n += (size_t)sprintf(line + n, "%u ", (unsigned)a[2]);
        break;
    case FSCONFIG:
        n = (size_t)sprintf(line, "fsconfig %d %u ", (int)a[0], (unsigned)a[1]);
        n += put_hex(line + n, (const char *)a[2]);
        if ((unsigned)a[1] == 2 && a[3] != 0)
            n += put_bytes(line + n, (const unsigned char *)a[3], (size_t)(unsigned)a[4]);
        else
            n += put_hex(line + n, (const char *)a[3]);
        n += (size_t)sprintf(line + n, "%d ", (int)a[4]);
        break;
    case FSMOUNT:
        n = (size_t)sprintf(line, "fsmount %d %u %u ", (int)a[0], (unsigned)a[1], (unsigned)a[2]);
        break;
    case MOVE_MOUNT:
        n = (size_t)sprintf(line, "move_mount %d ", (int)a[0]);
        n += put_hex(line + n, (const char *)a[1]);
        n += (size_t)sprintf(line + n, "%d ", (int)a[2]);
        n += put_hex(line + n, (const char *)a[3]);
        n += (size_t)sprintf(line + n, "%u ", (unsigned)a[4]);
        break;
    default: {
        const struct mount_attr_v0 *attr = (const struct mount_attr_v0 *)a[3];
        n = (size_t)sprintf(line, "mount_setattr %d ", (int)a[0]);
        n += put_hex(line + n, (const char *)a[1]);
        n += (size_t)sprintf(line + n, "%u %llu %llu %llu %llu %lu ", (unsigned)a[2],
                             (unsigned long long)attr->attr_set, (unsigned long long)attr->attr_clr,
                             (unsigned long long)attr->propagation,
                             (unsigned long long)attr->userns_fd, (unsigned long)a[4]);
        break;
    }
    }
    n += (size_t)sprintf(line + n, "%d\n", gil);
    record(line, n);
    free(line);
    if (answer() != 0)
        return -1;
    return (number == FSOPEN || number == FSPICK || number == FSMOUNT || number == OPEN_TREE) ? 42
                                                                                              : 0;
}

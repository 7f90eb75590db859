/* A stand-in for the kernel, preloaded into a test interpreter.
 *
 * mount() and umount2() are replaced: each call appends one line describing
 * exactly what it received to the file named by VK_LOG, then answers as
 * scripted instead of entering the kernel:
 *
 *   VK_DELAY_MS  sleep this long first; a signal cuts the sleep short and the
 *                call fails with EINTR, as a blocking system call would
 *   VK_ERRNO     fail with this errno (unset or 0: succeed)
 *
 * Lines (strings hex-encoded, "-" for a null pointer):
 *   mount <source> <target> <fstype> <flags as unsigned> <data> <gil>
 *   umount2 <target> <flags as signed> <gil>
 * where <gil> is 1 if the calling thread held the interpreter lock.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
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

/* The baseline: mount(2) and umount2(2) called straight from C.
 *
 *   ccaller bind SRC DST N    N bind mounts of SRC on DST, each unmounted again
 *   ccaller fail DIR N        N unmounts of DIR, which is no mount point (EINVAL)
 *   ccaller mount N           N mount() calls with fixed arguments (for a preloaded double)
 *   ccaller umount N          N umount2() calls with fixed arguments (likewise)
 *   ccaller clone SRC DST N   N detached clones of SRC (open_tree), each attached on DST
 *                             (move_mount), closed and unmounted again
 *   ccaller open_tree N       N open_tree() calls with fixed arguments (for a preloaded double)
 *   ccaller move_mount N      N move_mount() calls with fixed arguments (likewise)
 *   ccaller loop IMAGE N      N loop devices bound to IMAGE (LOOP_CTL_GET_FREE, then
 *                             LOOP_CONFIGURE with autoclear), each detached and closed
 *
 * Prints the nanoseconds one operation took, on average.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <time.h>

#ifndef SYS_open_tree
#define SYS_open_tree 428
#endif
#ifndef SYS_move_mount
#define SYS_move_mount 429
#endif
enum { AT_CWD = -100, CLONE = 1, CLOEXEC = 02000000, F_EMPTY_PATH = 4 };

static double now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

static void fail(const char *what)
{
    fprintf(stderr, "ccaller: %s: %s\n", what, strerror(errno));
    exit(1);
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const char *mode = argv[1];
    long n = atol(argv[argc - 1]);
    double start = now_ns();

    if (strcmp(mode, "bind") == 0 && argc == 5) {
        for (long i = 0; i < n; i++) {
            if (mount(argv[2], argv[3], "", MS_BIND, "") != 0)
                fail("mount");
            if (umount2(argv[3], 0) != 0)
                fail("umount2");
        }
    } else if (strcmp(mode, "fail") == 0 && argc == 4) {
        for (long i = 0; i < n; i++)
            if (umount2(argv[2], 0) == 0 || errno != EINVAL)
                fail("umount2 should fail with EINVAL");
    } else if (strcmp(mode, "mount") == 0 && argc == 3) {
        for (long i = 0; i < n; i++)
            mount("/dev/vdb", "/mnt/data", "btrfs", 0, "");
    } else if (strcmp(mode, "umount") == 0 && argc == 3) {
        for (long i = 0; i < n; i++)
            umount2("/mnt/data", 0);
    } else if (strcmp(mode, "clone") == 0 && argc == 5) {
        for (long i = 0; i < n; i++) {
            long fd = syscall(SYS_open_tree, AT_CWD, argv[2], CLONE | CLOEXEC);
            if (fd < 0)
                fail("open_tree");
            if (syscall(SYS_move_mount, (int)fd, "", AT_CWD, argv[3], F_EMPTY_PATH) != 0)
                fail("move_mount");
            close((int)fd);
            if (umount2(argv[3], 0) != 0)
                fail("umount2");
        }
    } else if (strcmp(mode, "open_tree") == 0 && argc == 3) {
        for (long i = 0; i < n; i++)
            syscall(SYS_open_tree, AT_CWD, "/mnt/data", CLONE | CLOEXEC);
    } else if (strcmp(mode, "move_mount") == 0 && argc == 3) {
        for (long i = 0; i < n; i++)
            syscall(SYS_move_mount, 3, "", AT_CWD, "/mnt/data", F_EMPTY_PATH);
    } else if (strcmp(mode, "loop") == 0 && argc == 4) {
        for (long i = 0; i < n; i++) {
            int file = open(argv[2], O_RDWR | O_CLOEXEC);
            int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
            if (file < 0 || control < 0)
                fail("open");
            int dev = -1;
            while (dev < 0) {
                char path[32];
                long number = ioctl(control, LOOP_CTL_GET_FREE);
                if (number < 0)
                    fail("LOOP_CTL_GET_FREE");
                snprintf(path, sizeof path, "/dev/loop%ld", number);
                /* Another user of loop devices may take the free device first
                   (EBUSY) or remove it (ENXIO, ENOENT): then the next one. */
                if ((dev = open(path, O_RDWR | O_CLOEXEC)) < 0) {
                    if (errno != ENOENT && errno != ENXIO)
                        fail("open device");
                    continue;
                }
                struct loop_config config = {.fd = (unsigned)file};
                config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
                if (ioctl(dev, LOOP_CONFIGURE, &config) != 0) {
                    if (errno != EBUSY && errno != ENXIO)
                        fail("LOOP_CONFIGURE");
                    close(dev);
                    dev = -1;
                }
            }
            close(control);
            close(file);
            if (ioctl(dev, LOOP_CLR_FD, 0) != 0)
                fail("LOOP_CLR_FD");
            close(dev);
        }
    } else {
        return 2;
    }
    printf("%.1f\n", (now_ns() - start) / (double)n);
    return 0;
}

/* libblkid's safe probe of each image named, N times: open, superblocks and
   partition table, close. Prints nanoseconds per probe, one line an image. */
#include <blkid/blkid.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char **argv)
{
    int n = atoi(argv[1]);
    for (int i = 2; i < argc; i++) {
        long long start = now_ns();
        for (int k = 0; k < n; k++) {
            blkid_probe pr = blkid_new_probe_from_filename(argv[i]);
            if (pr == NULL)
                return 1;
            blkid_probe_enable_superblocks(pr, 1);
            blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID |
                                                      BLKID_SUBLKS_TYPE);
            blkid_probe_enable_partitions(pr, 1);
            if (blkid_do_safeprobe(pr) < 0)
                return 1;
            blkid_free_probe(pr);
        }
        printf("%.0f\n", (double)(now_ns() - start) / n);
    }
    return 0;
}

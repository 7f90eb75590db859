/* libmount's fstab parser on the file named, N times: a new table,
   mnt_table_parse_fstab, the table freed. Prints nanoseconds per parse. */
#include <libmount/libmount.h>
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
    long long start = now_ns();
    for (int k = 0; k < n; k++) {
        struct libmnt_table *tb = mnt_new_table();
        if (tb == NULL || mnt_table_parse_fstab(tb, argv[2]) != 0)
            return 1;
        mnt_unref_table(tb);
    }
    printf("%.0f\n", (double)(now_ns() - start) / n);
    (void)argc;
    return 0;
}

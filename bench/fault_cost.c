/*
 * What first touches of memory cost a process on this machine: run as
 *
 *   fault_cost anon N    touches N fresh 4 KiB anonymous pages
 *   fault_cost huge      touches one fresh 2 MiB page advised into a huge page
 *   fault_cost file N    reads N pages 64 KiB apart of FILE (in the page cache)
 *   fault_cost none      touches nothing (the baseline)
 *
 * bench/fault_cost.sh runs each form interleaved and prints the CPU time
 * that the touches add to a process.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "none";
    long n = argc > 2 ? atol(argv[2]) : 0;
    volatile char *p;
    int sum = 0;
    if (strcmp(what, "anon") == 0) {
        p = mmap(NULL, (size_t)n * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                 0);
        for (long i = 0; i < n; i++)
            p[i * 4096] = 1;
    } else if (strcmp(what, "huge") == 0) {
        size_t huge = (size_t)2 << 20;
        char *m = mmap(NULL, 2 * huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        p = (char *)(((uintptr_t)m + huge - 1) & ~(uintptr_t)(huge - 1));
        madvise((void *)p, huge, MADV_HUGEPAGE);
        p[0] = 1;
    } else if (strcmp(what, "file") == 0) {
        int fd = open(argv[3], O_RDONLY);
        p = mmap(NULL, (size_t)n * 65536, PROT_READ, MAP_PRIVATE, fd, 0);
        for (long i = 0; i < n; i++)
            sum += p[i * 65536];
    }
    return sum & 1;
}

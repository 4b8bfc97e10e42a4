/*
 * The floor of a /proc/sys walk: opens, reads and prints every file of the
 * tree once, as "name: value" with the path's "/" shown as ".", with the
 * least work a C program can do (one getdents64 loop per directory, one
 * read per file, output through stdio). bench/procfs_bench.sh builds it
 * and measures the sysctl front-ends against it.
 *
 *   procfs_floor [ROOT]   ROOT defaults to /proc/sys
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void walk(int dir, char *name, size_t len)
{
    char buf[16384];
    long got;
    while ((got = getdents64(dir, buf, sizeof buf)) > 0) {
        for (long at = 0; at < got;) {
            struct dirent64 *de = (struct dirent64 *)(buf + at);
            at += de->d_reclen;
            if (de->d_name[0] == '.')
                continue;
            size_t n = strlen(de->d_name);
            if (len + n + 2 >= 4096)
                continue;
            if (len)
                name[len] = '.';
            memcpy(name + len + (len != 0), de->d_name, n + 1);
            size_t sub = len + (len != 0) + n;
            if (de->d_type == DT_DIR) {
                int fd = openat(dir, de->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd >= 0) {
                    walk(fd, name, sub);
                    close(fd);
                }
            } else if (de->d_type == DT_REG) {
                int fd = openat(dir, de->d_name, O_RDONLY | O_CLOEXEC);
                if (fd < 0)
                    continue;
                char value[4096];
                ssize_t r = read(fd, value, sizeof value);
                close(fd);
                if (r < 0)
                    continue;
                if (r > 0 && value[r - 1] == '\n')
                    r--;
                printf("%s: %.*s\n", name, (int)r, value);
            }
        }
    }
    name[len] = 0;
}

int main(int argc, char **argv)
{
    static char name[4096];
    int fd = open(argc > 1 ? argv[1] : "/proc/sys", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        perror("procfs_floor");
        return 1;
    }
    walk(fd, name, 0);
    return 0;
}

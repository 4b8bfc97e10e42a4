/*
 * Atomic, durable file replacement under an exclusive lock. Writers never
 * change a file in place: they write a temporary file beside it and rename
 * it over the old one, so readers need no lock and a writer killed at any
 * moment leaves the old file (and at worst a stray temporary) behind.
 */
#include "persist.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int (*persist_fault)(const char *step);

namespace
{

int fault(const char *step)
{
    return persist_fault ? persist_fault(step) : 0;
}

int write_all(int fd, const char *p, size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return errno;
        p += w;
        len -= size_t(w);
    }
    return 0;
}

/* The temporary file beside PATH is named ".BASE.tunex-XXXXXX": a name
 * that only a writer of this program makes, so that the leftovers removed
 * below can never be a file of the user's, such as BASE.backup. */
constexpr char temp_infix[] = ".tunex-";
constexpr size_t temp_suffix = 6; // the XXXXXX that mkostemp fills in

std::string temp_prefix(const char *base)
{
    return "." + std::string(base) + temp_infix;
}

/* Removes the temporary files of writers that died before their rename.
 * Only the holder of the lock writes one, so under the lock every regular
 * file with the temporary name of BASE is a leftover. */
void remove_leftovers(const std::string &dir, const char *base)
{
    std::string prefix = temp_prefix(base);
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        const char *name = e->d_name;
        if (std::strlen(name) != prefix.size() + temp_suffix ||
            std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
            continue;
        bool ours = true;
        for (const char *c = name + prefix.size(); *c && ours; c++)
            ours = std::isalnum(static_cast<unsigned char>(*c)) != 0;
        struct stat st;
        if (ours && fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            unlinkat(dirfd(d), name, 0);
    }
    closedir(d);
}

} // namespace

int lock_file(const char *path, bool create)
{
    for (;;) {
        int fd = open(path, (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX) != 0) {
            int e = errno;
            close(fd);
            if (e == EINTR)
                continue;
            errno = e;
            return -1;
        }
        // A writer may have renamed a new file into place while we waited:
        // then our lock guards a file nobody reads any more.
        struct stat held, named;
        if (fstat(fd, &held) != 0) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (stat(path, &named) == 0) {
            if (held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                return fd;
            close(fd);
            continue;
        }
        int e = errno;
        close(fd);
        if (!create) {
            errno = e;
            return -1;
        }
    }
}

int read_all(int fd, std::string &out)
{
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t r = pread(fd, buf, sizeof buf, off_t(out.size()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            return 0;
        out.append(buf, size_t(r));
    }
}

int replace_file(const char *path, const std::string &content, mode_t mode)
{
    std::string dir = path;
    size_t slash = dir.rfind('/');
    const char *base = slash == std::string::npos ? path : path + slash + 1;
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    std::string tmp = dir + "/" + temp_prefix(base) + std::string(temp_suffix, 'X');
    remove_leftovers(dir, base);

    int e = fault("create");
    int fd = e ? -1 : mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return e ? e : errno;
    if (!(e = fault("write")))
        e = write_all(fd, content.data(), content.size());
    if (!e && !(e = fault("fsync")) && (fchmod(fd, mode) != 0 || fsync(fd) != 0))
        e = errno;
    if (close(fd) != 0 && !e)
        e = errno;
    if (!e && !(e = fault("rename")) && rename(tmp.c_str(), path) != 0)
        e = errno;
    if (e) {
        unlink(tmp.c_str());
        return e;
    }
    // The rename is durable once the directory is on disk too. Some file
    // systems cannot sync a directory; the new file is in place and synced
    // by then, so that failure is not the write's.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        if (!fault("dirsync"))
            fsync(dfd);
        close(dfd);
    }
    return 0;
}

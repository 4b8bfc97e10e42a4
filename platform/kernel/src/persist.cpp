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
#include <ctime>
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

/* Takes the exclusive lock on FD, polling until DEADLINE: a reader of
 * the file could otherwise hold it, and block every writer, forever.
 * Returns 0, EAGAIN when the deadline passed, or an errno. */
int wait_for_lock(int fd, const timespec &deadline)
{
    useconds_t pause = 1000;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return errno;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
            return EAGAIN;
        usleep(pause);
        pause = pause < 16000 ? pause * 2 : 32000;
    }
}

/* Refuses what a replacement by rename would do wrong to the locked file
 * FD (status ST) at PATH: split its hard links, or write a file that
 * nobody may write. Returns FD, or -1 with errno set after closing it. */
int check_locked(int fd, const struct stat &st, const char *path, std::string &why)
{
    int e = 0;
    if (st.st_nlink > 1) {
        why = std::string(path) + ": " + std::to_string(st.st_nlink) +
              " hard links, which a write would split";
        e = EMLINK;
    } else if ((st.st_mode & 0222) == 0) {
        e = EACCES; // read-only for everybody, root included
    }
    if (!e)
        return fd;
    close(fd);
    errno = e;
    return -1;
}

/* Gives the new file FD the owner and group of the file it replaces
 * (whose status is OLD), as far as the writer may: root keeps both. An
 * ordinary user may write another user's file that its mode opens to them,
 * but may not give a file away: the new one is theirs, in the old group
 * when they belong to it. Returns 0 or an errno. */
int keep_owner(int fd, const struct stat &old)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return errno;
    uid_t uid = now.st_uid == old.st_uid ? uid_t(-1) : old.st_uid;
    gid_t gid = now.st_gid == old.st_gid ? gid_t(-1) : old.st_gid;
    if ((uid == uid_t(-1) && gid == gid_t(-1)) || fchown(fd, uid, gid) == 0)
        return 0;
    if (errno != EPERM)
        return errno;
    if (gid != gid_t(-1)) {
        // The best that can be done; failing that, the file stays the
        // writer's.
        int kept = fchown(fd, uid_t(-1), gid);
        (void)kept;
    }
    return 0;
}

} // namespace

int open_file(const char *path, int flags, std::string &why)
{
    // Never through a symbolic link (a dangling one would make us create
    // its target), and never waiting on a FIFO that nobody writes.
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP)
            why = std::string(path) + ": a symbolic link, not followed";
        return -1;
    }
    struct stat st;
    int e = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EIO;
    if (e == EIO)
        why = std::string(path) + ": not a regular file";
    if (e) {
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int lock_file(const char *path, bool create, std::string &why)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += lock_wait_seconds;
    for (;;) {
        int fd = open_file(path, O_RDWR | (create ? O_CREAT : 0), why);
        if (fd < 0)
            return -1;
        int e = wait_for_lock(fd, deadline);
        // A writer may have renamed a new file into place while we waited:
        // then our lock guards a file nobody reads any more.
        struct stat held, named;
        if (!e && fstat(fd, &held) != 0)
            e = errno;
        if (!e && lstat(path, &named) == 0) {
            if (held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                return check_locked(fd, held, path, why);
            close(fd);
            continue;
        }
        if (!e)
            e = errno;
        close(fd);
        if (e == EAGAIN)
            why = std::string(path) + ": another process holds its lock (waited " +
                  std::to_string(lock_wait_seconds) + " seconds)";
        if (e != ENOENT || !create) {
            errno = e;
            return -1;
        }
    }
}

int read_all(int fd, std::string &out, size_t limit)
{
    out.clear();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    if (uintmax_t(st.st_size) > limit)
        return EFBIG;
    out.reserve(size_t(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t r = pread(fd, buf, sizeof buf, off_t(out.size()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            return 0;
        if (size_t(r) > limit - out.size())
            return EFBIG;
        out.append(buf, size_t(r));
    }
}

int replace_file(const char *path, const std::string &content, int locked)
{
    std::string dir = path;
    size_t slash = dir.rfind('/');
    const char *base = slash == std::string::npos ? path : path + slash + 1;
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    std::string tmp = dir + "/" + temp_prefix(base) + std::string(temp_suffix, 'X');
    struct stat old;
    if (fstat(locked, &old) != 0)
        return errno;
    remove_leftovers(dir, base);

    int e = fault("create");
    int fd = e ? -1 : mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return e ? e : errno;
    if (!(e = fault("write")))
        e = write_all(fd, content.data(), content.size());
    if (!e)
        e = keep_owner(fd, old);
    if (!e && !(e = fault("fsync")) && (fchmod(fd, old.st_mode & 07777) != 0 || fsync(fd) != 0))
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

/*
 * Durable, atomic replacement of small state files shared by concurrent
 * processes: an exclusive lock on the file, a read of its newest content,
 * and a replacement through a temporary file in the same directory that
 * is synced, renamed over the old file, and whose directory is synced.
 */
#ifndef TUNEX_KERNEL_PERSIST_H
#define TUNEX_KERNEL_PERSIST_H

#include <cstdint>
#include <string>
#include <sys/types.h>

/* How long a writer waits for the lock that another process holds. */
constexpr int lock_wait_seconds = 5;

/* Opens PATH with FLAGS (O_RDONLY, O_RDWR, O_CREAT; a new file gets mode
 * 0600), never through a symbolic link and never blocking: anything but a
 * regular file is refused. Returns the descriptor, or -1 with errno set
 * and, where errno alone would not tell, a line for the user in WHY:
 * ELOOP "PATH: a symbolic link, not followed", EIO "PATH: not a regular
 * file". */
int open_file(const char *path, int flags, std::string &why);

/* Opens PATH for writing as open_file does (creating it when CREATE) and
 * takes an exclusive lock on it. Since writers replace the file by rename,
 * the lock is retaken until the locked file is the one PATH names. Refuses
 * a file that has other hard links (EMLINK, since its replacement would
 * split them) or that nobody may write (EACCES, root included). Waits at
 * most lock_wait_seconds for another process's lock, then fails with
 * EAGAIN and "PATH: another process holds its lock ..." in WHY. Returns the
 * descriptor, whose close releases the lock, or -1 with errno set. */
int lock_file(const char *path, bool create, std::string &why);

/* Reads the whole file open on FD into OUT, at most LIMIT bytes. Returns 0,
 * EFBIG when the file holds more, or an errno. */
int read_all(int fd, std::string &out, size_t limit = SIZE_MAX);

/* Replaces the file PATH, locked on LOCKED, with CONTENT so that a reader,
 * or a crash at any point, sees either the old or the new file whole. The
 * new file gets the mode of the old one, and its owner and group as far as
 * the writer may give them (root: always; an ordinary user writing another
 * user's file owns the new one). Returns 0 or an errno; on failure PATH is
 * left as it was. It also removes what writers that died left behind:
 * temporary files named ".BASE.tunex-XXXXXX", a name no one else gives a
 * file. */
int replace_file(const char *path, const std::string &content, int locked);

/* Fault injection for tests: when set, called before each step of
 * replace_file ("create", "write", "fsync", "rename", "dirsync"); a
 * non-zero result fails that step with that errno. */
extern int (*persist_fault)(const char *step);

#endif

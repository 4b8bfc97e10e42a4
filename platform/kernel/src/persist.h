/*
 * Durable, atomic replacement of small state files shared by concurrent
 * processes: an exclusive lock on the file, a read of its newest content,
 * and a replacement through a temporary file in the same directory that
 * is synced, renamed over the old file, and whose directory is synced.
 */
#ifndef TUNEX_KERNEL_PERSIST_H
#define TUNEX_KERNEL_PERSIST_H

#include <string>
#include <sys/types.h>

/* Opens PATH (creating it empty with mode 0600 when CREATE) and takes an
 * exclusive lock on it. Since writers replace the file by rename, the lock
 * is retaken until the locked file is the one PATH names. Returns the
 * descriptor, whose close releases the lock, or -1 with errno set. */
int lock_file(const char *path, bool create);

/* Reads the whole file open on FD into OUT. Returns 0 or an errno. */
int read_all(int fd, std::string &out);

/* Replaces the file PATH with CONTENT (file mode MODE) so that a reader,
 * or a crash at any point, sees either the old or the new file whole.
 * Returns 0 or an errno; on failure PATH is left as it was. Call it
 * holding the lock: it also removes what writers that died left behind. */
int replace_file(const char *path, const std::string &content, mode_t mode);

/* Fault injection for tests: when set, called before each step of
 * replace_file ("create", "write", "fsync", "rename", "dirsync"); a
 * non-zero result fails that step with that errno. */
extern int (*persist_fault)(const char *step);

#endif

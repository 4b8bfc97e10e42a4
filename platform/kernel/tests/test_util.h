/*
 * Helpers of the kernel stand-in's tests: fixture images, private copies
 * of them in a temporary directory (writes persist into the image), and
 * booting an image in the test process.
 */
#ifndef TUNEX_KERNEL_TEST_UTIL_H
#define TUNEX_KERNEL_TEST_UTIL_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kernel.h"

/* The path of a fixture image. */
inline std::string fixture(const std::string &name)
{
    const char *dir = std::getenv("KERNEL_FIXTURES");
    return std::string(dir ? dir : ".") + "/images/" + name;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

/* The directories temp_dir made; removed when the test program exits
 * (forked children leave with _exit and remove nothing). */
inline std::vector<std::string> &temp_dirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

inline void remove_temp_dirs()
{
    for (const std::string &d : temp_dirs())
        std::filesystem::remove_all(d);
}

/* A fresh private directory; on tmpfs when there is one, since tests that
 * write often would otherwise wait on the disk's syncs. */
inline std::string temp_dir()
{
    std::string tmpl =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/kerneltest.XXXXXX" : "/tmp/kerneltest.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return "/nonexistent";
    if (temp_dirs().empty())
        std::atexit(remove_temp_dirs);
    temp_dirs().push_back(tmpl);
    return tmpl;
}

/* Copies fixture NAME into a fresh directory and returns the copy's path. */
inline std::string image_copy(const std::string &name)
{
    std::string path = temp_dir() + "/" + name;
    write_file(path, read_file(fixture(name)));
    return path;
}

/* Boots the image at PATH (the embedded default when empty) in this process. */
inline void boot(const std::string &path)
{
    if (path.empty())
        unsetenv("MIB_IMAGE");
    else
        setenv("MIB_IMAGE", path.c_str(), 1);
    kernel_reset();
}

#endif

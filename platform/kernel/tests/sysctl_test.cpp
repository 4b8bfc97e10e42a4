/*
 * sysctl(3) of the kernel stand-in: reads, probes and short buffers, every
 * errno of a lookup and of a write in the kernel's order, writes cut to
 * their type's size, non-root writers, jails and the module list.
 */
#include <sys/jail.h>
#include <sys/sysctl.h>
#include <jail.h>
#include <libutil.h>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace
{

class Sysctl : public ::testing::Test
{
  protected:
    void SetUp() override { boot(image_copy("basic.json")); }
    void TearDown() override { boot(""); }
};

/* Reads OID; returns the errno (0 on success) and the bytes in *OUT. */
int read_oid(std::vector<int> oid, std::string *out = nullptr)
{
    char buf[256];
    size_t len = sizeof buf;
    if (sysctl(oid.data(), unsigned(oid.size()), buf, &len, nullptr, 0) != 0)
        return errno;
    if (out)
        out->assign(buf, len);
    return 0;
}

int write_oid(std::vector<int> oid, const void *p, size_t len)
{
    return sysctl(oid.data(), unsigned(oid.size()), nullptr, nullptr, p, len) == 0 ? 0 : errno;
}

std::string bytes_of(int v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

TEST_F(Sysctl, ReadsAndTheirErrors)
{
    struct row {
        std::vector<int> oid;
        int error;
        std::string value;
    };
    const row rows[] = {
        {{1, 1}, 0, std::string("FreeBSD\0", 8)},
        {{1, 2}, 0, bytes_of(1000)},
        {{1, 13}, 0, bytes_of(1) + bytes_of(2) + bytes_of(3)},
        {{1, 14},
         0,
         bytes_of(1000) + bytes_of(1000) + bytes_of(0) + bytes_of(127) + bytes_of(8128)},
        {{1, 18}, 0, std::string("\x01\x02", 2)},
        {{1}, EINVAL, ""},            // too short to be a request
        {{1, 99}, ENOENT, ""},        // unknown
        {{3, 1}, ENOENT, ""},         // unknown top level
        {{1, 1, 5}, ENOTDIR, ""},     // past a leaf
        {{1, 17}, EISDIR, ""},        // node without handler
        {{2, 1}, EISDIR, ""},         // implied inner node
        {{1, 7}, EPERM, ""},          // the image's read error
        {{1, 10}, EINVAL, ""},        // leaf without handler
        {{1, 15}, ENOENT, ""},        // dormant
        {{1, 16, 1}, 0, bytes_of(7)}, // SKIP hides from walks only
    };
    for (const row &r : rows) {
        std::string got;
        std::string name;
        for (int c : r.oid)
            name += std::to_string(c) + ".";
        EXPECT_EQ(read_oid(r.oid, &got), r.error) << name;
        if (r.error == 0) {
            EXPECT_EQ(got, r.value) << name;
        }
    }
}

TEST_F(Sysctl, ProbeAndShortBuffer)
{
    int oid[] = {1, 1};
    size_t len = 0;
    ASSERT_EQ(sysctl(oid, 2, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, 8u);
    char buf[8] = "xxxxxxx";
    len = 3;
    EXPECT_EQ(sysctl(oid, 2, buf, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(std::string(buf, 4), "Frex");
}

TEST_F(Sysctl, GrowsBetweenProbeAndRead)
{
    int oid[] = {1, 9};
    size_t len = 0;
    ASSERT_EQ(sysctl(oid, 2, nullptr, &len, nullptr, 0), 0);
    EXPECT_EQ(len, 4u);
    char buf[16];
    len = 4;
    EXPECT_EQ(sysctl(oid, 2, buf, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    len = sizeof buf;
    ASSERT_EQ(sysctl(oid, 2, buf, &len, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, len), std::string("abc****\0", 8));
}

TEST_F(Sysctl, Writes)
{
    struct row {
        const char *what;
        std::vector<int> oid;
        std::string value;
        int error;
        std::string after; // read back; empty: unchanged, not checked
    };
    const row rows[] = {
        {"int", {1, 2}, bytes_of(5000), 0, bytes_of(5000)},
        {"int too short", {1, 2}, "ab", EINVAL, bytes_of(5000)},
        {"int too long", {1, 2}, bytes_of(7) + "junk", 0, bytes_of(7)},
        {"int64",
         {1, 11},
         std::string("\1\0\0\0\0\0\0\0", 8),
         0,
         std::string("\1\0\0\0\0\0\0\0", 8)},
        {"uint8", {1, 12}, "\x2c", 0, "\x2c"},
        {"array takes its size", {1, 13}, bytes_of(9), EINVAL, ""},
        {"array",
         {1, 13},
         bytes_of(4) + bytes_of(5) + bytes_of(6),
         0,
         bytes_of(4) + bytes_of(5) + bytes_of(6)},
        {"string", {1, 3}, std::string("abc\0", 4), 0, std::string("abc\0", 4)},
        {"string without NUL", {1, 3}, "xyz", 0, std::string("xyz\0", 4)},
        {"string at maxlen", {1, 3}, std::string("1234567\0", 8), EINVAL, std::string("xyz\0", 4)},
        {"empty string", {1, 3}, "", 0, std::string("\0", 1)},
        {"read-only", {1, 1}, "Linux", EPERM, std::string("FreeBSD\0", 8)},
        {"secure level above the object's", {1, 5}, bytes_of(1), EPERM, bytes_of(0)},
        {"secure level at most the object's", {1, 6}, bytes_of(1), 0, bytes_of(1)},
        {"write error", {1, 8}, bytes_of(1), EIO, bytes_of(0)},
        {"node", {1, 17}, bytes_of(1), EISDIR, ""},
        {"no handler", {1, 10}, bytes_of(1), EINVAL, ""},
        {"unknown", {1, 99}, bytes_of(1), ENOENT, ""},
    };
    for (const row &r : rows) {
        EXPECT_EQ(write_oid(r.oid, r.value.data(), r.value.size()), r.error) << r.what;
        std::string got;
        if (!r.after.empty()) {
            EXPECT_EQ(read_oid(r.oid, &got), 0) << r.what;
            EXPECT_EQ(got, r.after) << r.what;
        }
    }
}

TEST_F(Sysctl, RefusedWriteReadsNothing)
{
    // The permission check comes before the handler: the old value is not
    // copied out.
    int oid[] = {1, 1};
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    size_t len = sizeof buf;
    EXPECT_EQ(sysctl(oid, 2, buf, &len, "Linux", 6), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(len, sizeof buf);
}

TEST_F(Sysctl, ReadAndWriteInOneCall)
{
    int oid[] = {1, 2}, old = 0, v = 42;
    size_t len = sizeof old;
    ASSERT_EQ(sysctl(oid, 2, &old, &len, &v, sizeof v), 0);
    EXPECT_EQ(old, 1000);
    std::string got;
    read_oid({1, 2}, &got);
    EXPECT_EQ(got, bytes_of(42));
}

TEST_F(Sysctl, ByName)
{
    int v = 0;
    size_t len = sizeof v;
    ASSERT_EQ(sysctlbyname("kern.maxfiles", &v, &len, nullptr, 0), 0);
    EXPECT_EQ(v, 1000);
    EXPECT_EQ(sysctlbyname("kern.nope", &v, &len, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    int mib[4];
    size_t n = 4;
    ASSERT_EQ(sysctlnametomib("net.inet.forwarding", mib, &n), 0);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(mib[2], 1);
    n = 2;
    EXPECT_EQ(sysctlnametomib("net.inet.forwarding", mib, &n), -1);
    EXPECT_EQ(errno, ENOMEM);
}

TEST_F(Sysctl, Modules)
{
    EXPECT_EQ(kld_isloaded("oidlens"), 1);
    EXPECT_EQ(kld_isloaded("oidlens.ko"), 1);
    EXPECT_EQ(kld_isloaded("zfs"), 0);
    EXPECT_EQ(kld_isloaded("oidlen"), 0);
}

TEST_F(Sysctl, Jails)
{
    EXPECT_EQ(jail_getid("web"), 1);
    EXPECT_EQ(jail_getid("2"), 2);
    EXPECT_EQ(jail_getid("3"), -1);
    EXPECT_EQ(jail_getid("nope"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(jail_attach(9), -1);
    EXPECT_EQ(errno, EINVAL);
    if (geteuid() != 0)
        GTEST_SKIP() << "attaching to a jail needs root";

    int v = 1;
    ASSERT_EQ(jail_attach(1), 0);
    EXPECT_EQ(jail_attach(2), -1) << "already jailed";
    EXPECT_EQ(write_oid({1, 3}, "jailed", 7), 0) << "PRISON";
    EXPECT_EQ(write_oid({1, 2}, &v, sizeof v), EPERM) << "host only";
    EXPECT_EQ(write_oid({2, 1, 1}, &v, sizeof v), EPERM) << "VNET without own vnet";
    EXPECT_EQ(write_oid({1, 4}, &v, sizeof v), 0) << "ANYBODY";

    kernel_reset();
    ASSERT_EQ(jail_attach(2), 0);
    EXPECT_EQ(write_oid({2, 1, 1}, &v, sizeof v), 0) << "VNET in a vnet jail";
}

TEST_F(Sysctl, NonRootWriters)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    struct passwd *nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user 'nobody'";
    // The child persists its write, so the image must be writable to it.
    const char *path = getenv("MIB_IMAGE");
    std::string dir = std::string(path).substr(0, std::string(path).rfind('/'));
    chmod(dir.c_str(), 0777);
    chmod(path, 0666);
    pid_t pid = fork();
    if (pid == 0) {
        if (setuid(nobody->pw_uid) != 0)
            _exit(10);
        int v = 3;
        int bad = 0;
        bad |= write_oid({1, 2}, &v, sizeof v) != EPERM;      // needs privilege
        bad |= (write_oid({1, 4}, &v, sizeof v) != 0) << 1;   // ANYBODY
        bad |= (read_oid({1, 2}) != 0) << 2;                  // reads need none
        bad |= (jail_attach(1) != -1 || errno != EPERM) << 3; // root only
        _exit(bad);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace

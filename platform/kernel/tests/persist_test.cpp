/*
 * Writes persist: a new process reads what an earlier one wrote, into an
 * image file or into the default image's state file; concurrent writers
 * lose nothing; a writer killed at any moment leaves a whole image; and a
 * write that cannot be made durable fails and changes nothing.
 */
#include <sys/sysctl.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include "image_load.h"
#include "persist.h"
#include "test_util.h"

namespace
{

int read_int(const char *name)
{
    int v = -1;
    size_t len = sizeof v;
    return sysctlbyname(name, &v, &len, nullptr, 0) == 0 ? v : -1;
}

int write_int(const char *name, int v)
{
    return sysctlbyname(name, nullptr, nullptr, &v, sizeof v) == 0 ? 0 : errno;
}

/* Runs FN in a child process with a freshly booted kernel; returns its
 * exit status. */
template <typename F> int in_child(F fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        kernel_reset();
        _exit(fn());
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

size_t entries_in(const std::string &dir)
{
    size_t n = 0;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

TEST(Persist, NewProcessReadsTheWrite)
{
    std::string path = image_copy("basic.json");
    boot(path);
    ASSERT_EQ(write_int("kern.maxfiles", 4242), 0);
    ASSERT_EQ(sysctlbyname("kern.hostname", nullptr, nullptr, "abc", 4), 0);
    EXPECT_EQ(in_child([] {
                  char buf[16];
                  size_t len = sizeof buf;
                  bool host = sysctlbyname("kern.hostname", buf, &len, nullptr, 0) == 0 &&
                              std::string(buf, len) == std::string("abc\0", 4);
                  return read_int("kern.maxfiles") == 4242 && host ? 0 : 1;
              }),
              0);
    // The rewritten image still loads and keeps the other objects' values.
    image_data d;
    std::string err;
    ASSERT_TRUE(image_load_file(path.c_str(), d, err)) << err;
    uint32_t i = image_find_name(d.view, "kern.clockrate");
    EXPECT_EQ(d.view.objects[i].value_len, 20u);
    boot("");
}

TEST(Persist, ConcurrentWritersLoseNothing)
{
    std::string path = image_copy("counters.json");
    setenv("MIB_IMAGE", path.c_str(), 1);
    std::vector<pid_t> pids;
    for (int w = 0; w < 8; w++) {
        pid_t pid = fork();
        if (pid == 0) {
            kernel_reset();
            std::string name = "kern.c" + std::to_string(w);
            for (int k = 1; k <= 200; k++) {
                if (write_int(name.c_str(), k) != 0)
                    _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    boot(path);
    for (int w = 0; w < 8; w++)
        EXPECT_EQ(read_int(("kern.c" + std::to_string(w)).c_str()), 200) << w;
    boot("");
}

TEST(Persist, KilledWriterLeavesAWholeImage)
{
    std::string path = image_copy("counters.json");
    setenv("MIB_IMAGE", path.c_str(), 1);
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; round++) {
        pid_t pid = fork();
        if (pid == 0) {
            kernel_reset();
            std::string a(3000, 'a'), b(3000, 'b');
            for (int k = 0;; k++) {
                const std::string &s = k % 2 ? a : b;
                sysctlbyname("kern.text", nullptr, nullptr, s.c_str(), s.size() + 1);
            }
        }
        usleep(std::uniform_int_distribution<useconds_t>(500, 5000)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        image_data d;
        std::string err;
        ASSERT_TRUE(image_load_file(path.c_str(), d, err)) << "round " << round << ": " << err;
        uint32_t i = image_find_name(d.view, "kern.text");
        std::string v(reinterpret_cast<const char *>(d.view.values + d.view.objects[i].value),
                      d.view.objects[i].value_len);
        EXPECT_TRUE(v == std::string("start\0", 6) || v == std::string(3000, 'a') + '\0' ||
                    v == std::string(3000, 'b') + '\0')
            << "round " << round;
    }
    // The next write clears what the killed writers left behind.
    boot(path);
    EXPECT_EQ(write_int("kern.c0", 1), 0);
    EXPECT_EQ(entries_in(path.substr(0, path.rfind('/'))), 1u);
    boot("");
}

const char *failing_step;
int fail_step(const char *step)
{
    return std::strcmp(step, failing_step) == 0 ? ENOSPC : 0;
}

TEST(Persist, FailedPersistChangesNothing)
{
    std::string path = image_copy("basic.json");
    std::string dir = path.substr(0, path.rfind('/'));
    std::string before = read_file(path);
    boot(path);
    for (const char *step : {"create", "write", "fsync", "rename"}) {
        failing_step = step;
        persist_fault = fail_step;
        EXPECT_EQ(write_int("kern.maxfiles", 7), ENOSPC) << step;
        persist_fault = nullptr;
        EXPECT_EQ(read_int("kern.maxfiles"), 1000) << step;
        EXPECT_EQ(read_file(path), before) << step;
        EXPECT_EQ(entries_in(dir), 1u) << step << ": a temporary file was left";
    }
    // A directory that cannot be synced does not undo a write in place.
    failing_step = "dirsync";
    persist_fault = fail_step;
    EXPECT_EQ(write_int("kern.maxfiles", 7), 0);
    persist_fault = nullptr;
    EXPECT_EQ(read_int("kern.maxfiles"), 7);
    boot("");
}

TEST(Persist, ReadOnlyDirectory)
{
    struct passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user 'nobody' (root writes anywhere)";
    std::string path = image_copy("basic.json");
    std::string dir = path.substr(0, path.rfind('/'));
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    std::string before = read_file(path);
    setenv("MIB_IMAGE", path.c_str(), 1);
    uid_t uid = nobody->pw_uid;
    EXPECT_EQ(in_child([uid] {
                  if (setuid(uid) != 0)
                      return 2;
                  // kern.anyone is writable by anybody: only the disk refuses.
                  int e = write_int("kern.anyone", 5);
                  return e == EACCES && read_int("kern.anyone") == 1 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(read_file(path), before);
    unsetenv("MIB_IMAGE");
}

TEST(Persist, WritesThroughASymbolicLinkKeepingTheMode)
{
    std::string path = image_copy("basic.json");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    std::string link = temp_dir() + "/link.json";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    boot(link);
    ASSERT_EQ(write_int("kern.maxfiles", 4242), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(in_child([&path] {
                  setenv("MIB_IMAGE", path.c_str(), 1);
                  kernel_reset();
                  return read_int("kern.maxfiles") == 4242 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(entries_in(path.substr(0, path.rfind('/'))), 1u);
    EXPECT_EQ(entries_in(link.substr(0, link.rfind('/'))), 1u);
    boot("");
}

TEST(Persist, RefusesWhatAReplacementWouldDoWrong)
{
    struct refusal {
        const char *what;
        int error;
        void (*setup)(const std::string &path);
    } cases[] = {
        {"another hard link", EMLINK,
         [](const std::string &path) { ASSERT_EQ(link(path.c_str(), (path + ".2").c_str()), 0); }},
        {"no write bit", EACCES,
         [](const std::string &path) { ASSERT_EQ(chmod(path.c_str(), 0444), 0); }},
    };
    for (const refusal &c : cases) {
        std::string path = image_copy("basic.json");
        c.setup(path);
        std::string before = read_file(path);
        boot(path);
        EXPECT_EQ(write_int("kern.maxfiles", 7), c.error) << c.what;
        EXPECT_EQ(read_int("kern.maxfiles"), 1000) << c.what;
        EXPECT_EQ(read_file(path), before) << c.what;
    }
    boot("");
}

class DefaultState : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        runtime = temp_dir();
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        boot("");
    }
    void TearDown() override
    {
        unsetenv("XDG_RUNTIME_DIR");
        boot("");
    }
    std::string runtime;
};

TEST_F(DefaultState, WritesLastAcrossProcesses)
{
    int old = read_int("kern.maxfiles");
    ASSERT_GT(old, 0);
    ASSERT_EQ(write_int("kern.maxfiles", old + 1), 0);
    ASSERT_EQ(write_int("kern.maxproc", 300), EPERM) << "read-only in the default too";
    EXPECT_EQ(in_child([old] { return read_int("kern.maxfiles") == old + 1 ? 0 : 1; }), 0);
    struct stat st;
    ASSERT_EQ(stat((runtime + "/tunex").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(entries_in(runtime + "/tunex"), 1u);

    // A second object's write keeps the first one's.
    char host[] = "state.example.org";
    ASSERT_EQ(sysctlbyname("kern.hostname", nullptr, nullptr, host, sizeof host), 0);
    kernel_reset();
    EXPECT_EQ(read_int("kern.maxfiles"), old + 1);
}

TEST_F(DefaultState, KeepsAValueOfNoBoundUpToOneMebibyte)
{
    // security.jail.param.name is a string without a maximum length.
    std::string longest((1 << 20) - 1, 'j'), longer(1 << 20, 'j');
    ASSERT_EQ(sysctlbyname("security.jail.param.name", nullptr, nullptr, longest.c_str(),
                           longest.size() + 1),
              0);
    EXPECT_EQ(sysctlbyname("security.jail.param.name", nullptr, nullptr, longer.c_str(),
                           longer.size() + 1),
              -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(in_child([&longest] {
                  std::string v(longest.size() + 1, '\0');
                  size_t len = v.size();
                  return sysctlbyname("security.jail.param.name", v.data(), &len, nullptr, 0) ==
                                     0 &&
                                 v == longest + '\0'
                             ? 0
                             : 1;
              }),
              0);
}

TEST_F(DefaultState, RefusesAStateDirectoryOthersCanReach)
{
    ASSERT_EQ(mkdir((runtime + "/tunex").c_str(), 0755), 0);
    EXPECT_EQ(write_int("kern.maxfiles", 1), EACCES);
}

} // namespace

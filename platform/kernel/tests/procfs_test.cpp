/*
 * The live Linux kernel's store over a fake /proc/sys tree built in a
 * temporary directory: names and OIDs, types learnt from the text, flags
 * from the modes and the namespaces, descriptions, reads and their errors,
 * one read of a file per probe and read, writes turned back into the
 * kernel's text, and the answers of a store that listed only what the
 * requests before needed. Everything goes through sysctl(3) and its
 * meta-OIDs.
 */
#include <sys/inotify.h>
#include <sys/oidlens.h>
#include <sys/sysctl.h>
#include <libutil.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include "procfs.h"
#include "test_util.h"

namespace
{

struct fake_file {
    const char *path;
    const char *text;
    mode_t mode;
};

/* Every kind of parameter the store must tell apart. */
const fake_file tree[] = {
    {"kernel/hostname", "box\n", 0644},
    {"kernel/pid_max", "4194304\n", 0644},
    {"kernel/printk", "4\t4\t1\t7\n", 0644},
    {"kernel/shmmax", "18446744073692774399\n", 0644},
    {"kernel/mixed", "-1 18446744073692774399\n", 0644},
    {"kernel/banner", "line one\nline two\n", 0644},
    {"kernel/empty", "", 0644},
    {"kernel/negative", "-5\n", 0444},
    {"kernel/secret", "42\n", 0000},
    {"net/ipv4/ip_forward", "0\n", 0644},
    {"net/ipv4/ip_local_port_range", "32768\t60999\n", 0644},
    {"net/ipv4/conf/eth0.100/forwarding", "1\n", 0644},
    {"user/max_net_namespaces", "100\n", 0666},
    {"vm/drop_caches", "", 0200},
};

class Procfs : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        root_ = temp_dir() + "/sys";
        chmod(root_.substr(0, root_.rfind('/')).c_str(), 0755);
        mkdir(root_.c_str(), 0755);
        for (const fake_file &f : tree) {
            std::string path = root_ + "/" + f.path;
            for (size_t at = root_.size(); (at = path.find('/', at + 1)) != std::string::npos;)
                mkdir(path.substr(0, at).c_str(), 0755);
            write_file(path, f.text);
            chmod(path.c_str(), f.mode);
        }
        mkdir((root_ + "/dev").c_str(), 0755);
        // Marked as a kernel's tree, so that writes reach the files.
        write_file(root_ + "/.tunex-kernel", "");
        boot(root_);
    }
    void TearDown() override
    {
        boot("");
        std::string cmd = "rm -rf '" + root_.substr(0, root_.rfind('/')) + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string root_;
};

std::vector<int> oid_of(const char *name)
{
    std::vector<int> oid(CTL_MAXNAME);
    size_t len = oid.size();
    if (sysctlnametomib(name, oid.data(), &len) != 0)
        return {};
    oid.resize(len);
    return oid;
}

/* Reads NAME; returns the errno (0 on success) and the bytes in *OUT. */
int read_name(const char *name, std::string *out = nullptr)
{
    char buf[256];
    size_t len = sizeof buf;
    if (sysctlbyname(name, buf, &len, nullptr, 0) != 0)
        return errno;
    if (out)
        out->assign(buf, len);
    return 0;
}

/* Kind and format of NAME through the meta-OID oidfmt. */
std::pair<uint32_t, std::string> format_of(const char *name)
{
    std::vector<int> q = {0, CTL_SYSCTL_OIDFMT};
    for (int c : oid_of(name))
        q.push_back(c);
    char buf[64];
    size_t len = sizeof buf;
    if (sysctl(q.data(), unsigned(q.size()), buf, &len, nullptr, 0) != 0)
        return {0, "error " + std::to_string(errno)};
    uint32_t kind;
    std::memcpy(&kind, buf, sizeof kind);
    return {kind, buf + sizeof kind};
}

std::string longs(std::vector<int64_t> v)
{
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(int64_t));
}

TEST_F(Procfs, NamesAndOidsFollowTheSortedTree)
{
    struct row {
        const char *name;
        std::vector<int> oid;
    };
    // Top level: 0 is the meta node; dev, kernel, net, user, vm follow.
    const row rows[] = {
        {"sysctl", {0}},
        {"dev", {1}},
        {"kernel.banner", {2, 1}},
        {"kernel.shmmax", {2, 9}},
        {"net.ipv4.conf.eth0/100.forwarding", {3, 1, 1, 1, 1}},
        {"net.ipv4.ip_local_port_range", {3, 1, 3}},
        {"vm.drop_caches", {5, 1}},
    };
    for (const row &r : rows)
        EXPECT_EQ(oid_of(r.name), r.oid) << r.name;
    EXPECT_TRUE(oid_of("net.ipv4.conf.eth0.100.forwarding").empty());
    EXPECT_EQ(kld_isloaded("oidlens"), 1);
}

TEST_F(Procfs, NamesWithSlashesArePathsBelowTheRoot)
{
    // A leaf at the root, and one whose own name holds a ".", which no
    // path with "/" between components reaches.
    write_file(root_ + "/zone", "1\n");
    write_file(root_ + "/top.level", "2\n");
    boot(root_);
    struct row {
        const char *asked, *found; /* null: unknown */
    };
    const row rows[] = {
        {"net/ipv4/ip_forward", "net.ipv4.ip_forward"},
        {"net/ipv4/conf/eth0.100/forwarding", "net.ipv4.conf.eth0/100.forwarding"},
        {"net.ipv4.conf.eth0/100.forwarding", "net.ipv4.conf.eth0/100.forwarding"},
        {"zone", "zone"},
        {"top/level", "top/level"}, // no path top/level: the shown name
        {"net.ipv4/ip_forward", nullptr},
        {"net/ipv4.ip_forward", nullptr},
    };
    for (const row &r : rows)
        EXPECT_EQ(oid_of(r.asked), r.found ? oid_of(r.found) : std::vector<int>{}) << r.asked;
    // A leaf at the root has a one-element OID and reads like any other.
    std::string got;
    EXPECT_EQ(oid_of("zone").size(), 1u);
    EXPECT_EQ(read_name("zone", &got), 0);
    EXPECT_EQ(got, longs({1}));
}

TEST_F(Procfs, OnlyAKernelsTreeIsWritten)
{
    // The marker is no parameter.
    EXPECT_TRUE(oid_of(".tunex-kernel").empty());
    // Without it the same tree is only read: the write fails and the file
    // keeps its bytes.
    unlink((root_ + "/.tunex-kernel").c_str());
    boot(root_);
    const char *name = "kernel.hostname";
    EXPECT_EQ(sysctlbyname(name, nullptr, nullptr, "other", 6), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(read_file(root_ + "/kernel/hostname"), "box\n");
    EXPECT_EQ(read_name(name), 0);
}

TEST_F(Procfs, TypesFormatsAndFlags)
{
    const uint32_t rw = CTLFLAG_RD | CTLFLAG_WR, net = CTLFLAG_VNET | CTLFLAG_PRISON;
    struct row {
        const char *name;
        uint32_t kind;
        const char *format;
    };
    const row rows[] = {
        {"kernel.hostname", rw | CTLFLAG_PRISON | CTLTYPE_STRING, "A"},
        {"kernel.pid_max", rw | CTLTYPE_LONG, "L"},
        {"kernel.printk", rw | CTLTYPE_LONG, "L"},
        {"kernel.shmmax", rw | CTLFLAG_PRISON | CTLTYPE_ULONG, "LU"},
        {"kernel.mixed", rw | CTLTYPE_STRING, "A"},
        {"kernel.banner", rw | CTLTYPE_STRING, "A"},
        {"kernel.empty", rw | CTLTYPE_STRING, "A"},
        {"kernel.negative", CTLFLAG_RD | CTLTYPE_LONG, "L"},
        {"kernel.secret", CTLTYPE_STRING, "A"},
        {"net.ipv4.ip_forward", rw | net | CTLTYPE_LONG, "L"},
        {"net.ipv4", CTLFLAG_RD | net | CTLTYPE_NODE, "N"},
        {"user.max_net_namespaces", rw | CTLFLAG_ANYBODY | CTLFLAG_PRISON | CTLTYPE_LONG, "L"},
        {"vm.drop_caches", CTLFLAG_WR | CTLTYPE_STRING, "A"},
        {"dev", CTLFLAG_RD | CTLTYPE_NODE, "N"},
    };
    for (const row &r : rows) {
        auto [kind, format] = format_of(r.name);
        EXPECT_EQ(kind, r.kind) << r.name;
        EXPECT_EQ(format, r.format) << r.name;
    }
}

TEST_F(Procfs, ValuesAndReadErrors)
{
    struct row {
        const char *name;
        int error;
        std::string value;
    };
    const row rows[] = {
        {"kernel.hostname", 0, std::string("box\0", 4)},
        {"kernel.pid_max", 0, longs({4194304})},
        {"kernel.printk", 0, longs({4, 4, 1, 7})},
        {"kernel.shmmax", 0, longs({int64_t(18446744073692774399ull)})},
        {"kernel.negative", 0, longs({-5})},
        {"kernel.banner", 0, std::string("line one\nline two\0", 18)},
        {"kernel.empty", 0, std::string("\0", 1)},
        {"kernel.secret", EACCES, ""},
        {"vm.drop_caches", EACCES, ""},
        {"net.ipv4", EISDIR, ""},
    };
    for (const row &r : rows) {
        std::string got;
        EXPECT_EQ(read_name(r.name, &got), r.error) << r.name;
        if (r.error == 0) {
            EXPECT_EQ(got, r.value) << r.name;
        }
    }
}

TEST_F(Procfs, DescriptionsOfKnownParametersOnly)
{
    auto descr = [](const char *name) {
        std::vector<int> q = {0, CTL_SYSCTL_OIDDESCR};
        for (int c : oid_of(name))
            q.push_back(c);
        char buf[256];
        size_t len = sizeof buf;
        return sysctl(q.data(), unsigned(q.size()), buf, &len, nullptr, 0) == 0 ? std::string(buf)
                                                                                : std::string();
    };
    EXPECT_EQ(descr("net.ipv4.ip_forward"), linux_description("net.ipv4.ip_forward"));
    EXPECT_FALSE(descr("net.ipv4.ip_forward").empty());
    EXPECT_EQ(descr("net.ipv4.conf.eth0/100.forwarding"),
              linux_description("net.ipv4.conf.*.forwarding"));
    EXPECT_EQ(descr("kernel.banner"), "");
}

/* Opens of PATH counted by inotify while RUN runs. */
template <class F> int opens_of(const std::string &path, F run)
{
    int fd = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(fd, path.c_str(), IN_OPEN);
    run();
    int count = 0;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        count += int(n / sizeof(struct inotify_event));
    close(fd);
    return count;
}

TEST_F(Procfs, ProbeAndReadCostOneReadOfTheFile)
{
    std::vector<int> oid = oid_of("kernel.pid_max");
    int opens = opens_of(root_ + "/kernel/pid_max", [&] {
        size_t len = 0;
        ASSERT_EQ(sysctl(oid.data(), unsigned(oid.size()), nullptr, &len, nullptr, 0), 0);
        std::vector<char> buf(2 * len);
        len = buf.size();
        ASSERT_EQ(sysctl(oid.data(), unsigned(oid.size()), buf.data(), &len, nullptr, 0), 0);
    });
    EXPECT_EQ(opens, 1);
    // A later request asks the file again, and sees a change.
    write_file(root_ + "/kernel/pid_max", "77\n");
    std::string got;
    EXPECT_EQ(read_name("kernel.pid_max", &got), 0);
    EXPECT_EQ(got, longs({77}));
}

TEST_F(Procfs, WritesBecomeTheKernelsText)
{
    struct row {
        const char *name;
        std::string bytes;
        int error;
        const char *file; /* the file's text afterwards */
    };
    const row rows[] = {
        {"kernel.hostname", std::string("other\0", 6), 0, "other"},
        {"kernel.printk", longs({7, 4, 1, 7}), 0, "7\t4\t1\t7"},
        {"kernel.pid_max", longs({1, 2, 3}), 0, "1\t2\t3"},
        {"kernel.shmmax", longs({-1}), 0, "18446744073709551615"},
        {"kernel.pid_max", "abc", EINVAL, "1\t2\t3"}, // no whole element
        {"kernel.negative", longs({1}), EPERM, "-5\n"},
        {"vm.drop_caches", std::string("3\0", 2), 0, "3"},
        {"net.ipv4", longs({1}), EISDIR, nullptr}, // a node has no handler
    };
    for (const row &r : rows) {
        int e =
            sysctlbyname(r.name, nullptr, nullptr, r.bytes.data(), r.bytes.size()) == 0 ? 0 : errno;
        EXPECT_EQ(e, r.error) << r.name;
        if (r.file) {
            std::string path = root_ + "/" + r.name;
            std::replace(path.begin() + long(root_.size()), path.end(), '.', '/');
            EXPECT_EQ(read_file(path), r.file) << r.name;
        }
    }
    // What was written is what the next read shows.
    std::string got;
    EXPECT_EQ(read_name("kernel.printk", &got), 0);
    EXPECT_EQ(got, longs({7, 4, 1, 7}));
}

/* The answer to request Q: the errno, or the bytes, as a line that two
 * answers compare by. */
std::string ask(const std::vector<int> &q)
{
    std::vector<char> buf(65536);
    size_t len = buf.size();
    if (sysctl(q.data(), unsigned(q.size()), buf.data(), &len, nullptr, 0) != 0)
        return "error " + std::to_string(errno) + "\n";
    return std::string(buf.data(), len) + "\n";
}

/* The requests about the object at OID: its value, the entries of its
 * subtree (kinds, names, formats, descriptions), its kind and format, its
 * name, its description, and the object after it. */
std::vector<std::vector<int>> requests_about(const std::vector<int> &oid)
{
    std::vector<std::vector<int>> qs = {oid, {0, CTL_SYSCTL_OIDENTRIES, int(oid.size())}};
    for (int meta : {CTL_SYSCTL_OIDFMT, CTL_SYSCTL_NAME, CTL_SYSCTL_OIDDESCR, CTL_SYSCTL_NEXT})
        qs.push_back({0, meta});
    for (size_t k = 1; k < qs.size(); k++)
        qs[k].insert(qs[k].end(), oid.begin(), oid.end());
    return qs;
}

/* Name2oid of NAME, then the answers to requests_about() it but the
 * last, one after the other, in their order. */
std::string about(const std::string &name)
{
    std::vector<int> oid = oid_of(name.c_str());
    if (oid.empty())
        return "unknown, error " + std::to_string(errno);
    std::string text;
    for (int c : oid)
        text += std::to_string(c) + ".";
    text += "\n";
    std::vector<std::vector<int>> qs = requests_about(oid);
    qs.pop_back();
    for (const std::vector<int> &q : qs)
        text += ask(q);
    return text;
}

/* The store lists a tree lazily: a request by name lists only what the
 * name needs, and whatever it cannot answer from that lists the rest.
 * Every answer must still be the one that a store that listed the whole
 * tree first gives. */
class ProcfsPartial : public Procfs
{
  protected:
    void SetUp() override
    {
        Procfs::SetUp();
        // A leaf at the root, and a top-level name with a "." (shown "/").
        write_file(root_ + "/zone", "1\n");
        write_file(root_ + "/top.level", "2\n");
        // Every object's name and OID, from a walk of the whole tree.
        boot(root_);
        std::string entries = ask({0, CTL_SYSCTL_OIDENTRIES, 0});
        for (size_t at = 0; at + sizeof(oidlens_entry) < entries.size();) {
            oidlens_entry e;
            std::memcpy(&e, entries.data() + at, sizeof e);
            const char *oid = entries.data() + at + sizeof e;
            oids_.emplace_back(e.oid_len, 0);
            std::memcpy(oids_.back().data(), oid, e.oid_len * sizeof(int));
            names_.emplace_back(oid + e.oid_len * sizeof(int));
            at += e.size;
        }
        // And other spellings, names that are none, and the meta node.
        for (const char *n :
             {"net/ipv4/ip_forward", "net/ipv4/conf/eth0.100/forwarding", "top/level",
              "net.ipv4/ip_forward", "net/ipv4.ip_forward", "nosuch", "kernel.nosuch",
              "kernel.hostname.x", "kernel.", ".tunex-kernel", "sysctl.name"})
            names_.emplace_back(n);
        // OIDs of no object: past the last at the top, past the last
        // child of a node, below a leaf.
        oids_.insert(oids_.end(), {{9}, {2, 99}, {2, 3, 1}});
        // The answers after a listing of the whole tree.
        for (const std::string &n : names_) {
            by_name_[n] = about(n);
            oid_[n] = oid_of(n.c_str());
        }
        for (const std::vector<int> &oid : oids_)
            for (const std::vector<int> &q : requests_about(oid))
                full_[q] = ask(q);
    }

    std::vector<std::string> names_;
    std::vector<std::vector<int>> oids_;
    std::map<std::string, std::string> by_name_;
    std::map<std::string, std::vector<int>> oid_;
    std::map<std::vector<int>, std::string> full_;
};

TEST_F(ProcfsPartial, OneRequestByNameAnswersAsTheWholeTree)
{
    ASSERT_GT(oids_.size(), 20u);
    for (const std::string &n : names_) {
        boot(root_);
        EXPECT_EQ(about(n), by_name_[n]) << n;
        // "Next" leads out of what the name listed.
        if (!oid_[n].empty()) {
            std::vector<int> next = requests_about(oid_[n]).back();
            EXPECT_EQ(ask(next), full_[next]) << n;
        }
    }
}

TEST_F(ProcfsPartial, OneRequestByOidAnswersAsTheWholeTree)
{
    for (const std::vector<int> &oid : oids_)
        for (const std::vector<int> &q : requests_about(oid)) {
            boot(root_);
            EXPECT_EQ(ask(q), full_[q]) << testing::PrintToString(q);
        }
}

TEST_F(ProcfsPartial, ASecondRequestAnswersAsTheWholeTree)
{
    struct row {
        const char *first, *second;
    };
    const row rows[] = {
        {"kernel.hostname", "net.ipv4.ip_forward"},             // another branch
        {"kernel.hostname", "kernel.pid_max"},                  // a sibling on the way
        {"net.ipv4.ip_forward", "net.ipv4"},                    // a node on the way
        {"net", "net.ipv4.conf.eth0/100.forwarding"},           // within the subtree listed
        {"net.ipv4.conf.eth0/100.forwarding", "net.ipv4.conf"}, // a wider subtree
        {"net/ipv4/ip_forward", "top/level"},                   // either spelling of "/"
        {"top/level", "net/ipv4/conf/eth0.100/forwarding"},
        {"zone", "dev"},                      // leaves and nodes at the top
        {"nosuch", "kernel.hostname"},        // after an unknown name
        {"kernel.hostname", "kernel.nosuch"}, // an unknown name on the way
        {"vm.drop_caches", "sysctl.name"},    // the meta node
    };
    for (const row &r : rows) {
        boot(root_);
        about(r.first);
        EXPECT_EQ(about(r.second), by_name_[r.second]) << r.first << ", then " << r.second;
        // Each request about the same object by its OID.
        if (oid_[r.second].empty())
            continue;
        for (const std::vector<int> &q : requests_about(oid_[r.second])) {
            boot(root_);
            about(r.first);
            EXPECT_EQ(ask(q), full_[q]) << r.first << ", then " << testing::PrintToString(q);
        }
    }
}

TEST_F(Procfs, OrdinaryUsersWriteOnlyWhatAnybodyMay)
{
    struct passwd *pw = getpwnam("nobody");
    if (geteuid() != 0 || !pw)
        GTEST_SKIP() << "needs root and the user nobody";
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
            _exit(10);
        std::string one = longs({1});
        int denied = sysctlbyname("kernel.pid_max", nullptr, nullptr, one.data(), one.size());
        int e1 = errno;
        int allowed =
            sysctlbyname("user.max_net_namespaces", nullptr, nullptr, one.data(), one.size());
        _exit(denied == -1 && e1 == EPERM && allowed == 0 ? 0 : 1);
    }
    int status;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(root_ + "/user/max_net_namespaces"), "1");
}

TEST(ProcfsValue, TextToTypeAndBack)
{
    struct row {
        const char *text;
        uint32_t type;
        const char *back; /* procfs_format of the parsed bytes */
    };
    const row rows[] = {
        {"0\n", CTLTYPE_LONG, "0"},
        {"1 2  3\t4\n", CTLTYPE_LONG, "1\t2\t3\t4"},
        {"-9223372036854775808\n", CTLTYPE_LONG, "-9223372036854775808"},
        {"9223372036854775808\n", CTLTYPE_ULONG, "9223372036854775808"},
        {"18446744073709551616\n", CTLTYPE_STRING, "18446744073709551616"},
        {"-9223372036854775809\n", CTLTYPE_STRING, "-9223372036854775809"},
        {"-1 9223372036854775808\n", CTLTYPE_STRING, "-1 9223372036854775808"},
        {"1\n2\n", CTLTYPE_STRING, "1\n2"},
        {"0x10\n", CTLTYPE_STRING, "0x10"},
        {"-\n", CTLTYPE_STRING, "-"},
        {" \n", CTLTYPE_STRING, " "},
        {"", CTLTYPE_STRING, ""},
        {"cubic reno\n", CTLTYPE_STRING, "cubic reno"},
    };
    for (const row &r : rows) {
        std::vector<unsigned char> bytes;
        EXPECT_EQ(procfs_parse(r.text, std::strlen(r.text), bytes), r.type) << r.text;
        std::string back;
        EXPECT_TRUE(procfs_format(r.type, bytes.data(), bytes.size(), back)) << r.text;
        EXPECT_EQ(back, r.back) << r.text;
    }
    std::string text;
    EXPECT_FALSE(procfs_format(CTLTYPE_LONG, nullptr, 0, text));
    EXPECT_FALSE(
        procfs_format(CTLTYPE_LONG, reinterpret_cast<const unsigned char *>("abc"), 3, text));
}

TEST(ProcfsValue, NamespaceScopes)
{
    const uint32_t net = CTLFLAG_VNET | CTLFLAG_PRISON;
    struct row {
        const char *name;
        uint32_t flags;
    };
    const row rows[] = {
        {"net", net},
        {"net.ipv4.ip_forward", net},
        {"netfoo.x", 0},
        {"kernel.hostname", CTLFLAG_PRISON},
        {"kernel.hostnamex", 0},
        {"kernel.shmmax", CTLFLAG_PRISON},
        {"kernel.msgmni", CTLFLAG_PRISON},
        {"kernel.sem", CTLFLAG_PRISON},
        {"kernel.sem_next_id", CTLFLAG_PRISON},
        {"fs.mqueue.msg_max", CTLFLAG_PRISON},
        {"user.max_user_namespaces", CTLFLAG_PRISON},
        {"kernel.pid_max", 0},
        {"vm.swappiness", 0},
    };
    for (const row &r : rows)
        EXPECT_EQ(procfs_scope(r.name), r.flags) << r.name;
}

} // namespace

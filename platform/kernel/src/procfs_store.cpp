/*
 * The live Linux kernel behind sysctl(3): a /proc/sys-style directory tree
 * served as a MIB. Directories are nodes and files leaves; a name joins
 * the path's components with "." and shows a "." inside a component as
 * "/" (net.ipv4.conf.eth0/100.forwarding), as Linux's own sysctl does.
 * Numeric OIDs are positions in sorted order, counted from 1 so that the
 * meta node at OID 0 comes first, and stay stable while the tree does.
 *
 * Booting opens the root only. A first request for a name lists only
 * the directories on its way from the root, keeping just the objects on
 * that way (the others in those directories count for the positions
 * that make the OIDs), and the whole subtree below the object it names,
 * since a request for a node walks it: a script asking for one value
 * lists two or three directories of a kernel's hundred or so. A request
 * that such a listing cannot answer as the whole tree's would (another
 * name elsewhere, an OID outside it, a wider subtree, a "next") lists
 * the whole tree first.
 *
 * A leaf's mode and type are learnt the first time a request may look at
 * them (prepare), since the type comes from the value and reading every
 * file for a single request would cost more than the request. The value
 * read then is kept and serves the size probe and the read that follow, so
 * a walk reads each file once. A first request for the entries of the
 * whole tree reads every file anyway: each directory's files are then
 * read as soon as it is listed, while the kernel still holds its entries
 * at hand, as a program that walks the tree by itself reads them.
 *
 * Only a kernel's tree is written: a procfs mount, or a tree that says it
 * is one with a marker file at its root (kernel_marker, made by `touch`
 * in a copy of /proc/sys for tests and experiments; it is no parameter).
 * Any other directory is read-only, so that a mistyped MIB_IMAGE cannot
 * turn tunex into an editor of arbitrary files. Symbolic links inside a
 * tree are no parameters: they are neither listed nor followed, and every
 * file is opened from its own directory without following a link, so
 * nothing outside the tree is ever read or written.
 *
 * -j NAME enters the network namespace NAME of ip-netns (/run/netns) with
 * setns; what was listed is dropped for the next request to list anew,
 * since net.* is the namespace's. The namespaces are found when a request
 * first looks at the jails.
 */
#include <sys/oidlens.h>
#include <sys/sysctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "procfs.h"
#include "store.h"

namespace
{

const char netns_dir[] = "/run/netns";
const char kernel_marker[] = ".tunex-kernel";
constexpr long procfs_magic = 0x9fa0; /* PROC_SUPER_MAGIC */

/* Does PATH lie below the directory DIR (paths relative to the root)? */
bool inside(std::string_view path, std::string_view dir)
{
    return path.size() > dir.size() && path[dir.size()] == '/' && path.starts_with(dir);
}

/* The path below the root of the shown NAME, or the shown name of a path:
 * "/" between components, "." inside them, or the other way round. */
std::string swap_separators(std::string_view name)
{
    std::string swapped(name);
    for (char &c : swapped)
        c = c == '/' ? '.' : c == '.' ? '/' : c;
    return swapped;
}

/* Opens PATH below directory FD one component at a time, never following
 * a symbolic link, with FLAGS for the last component. */
int open_beneath(int fd, const char *path, int flags)
{
    std::string_view all(path);
    size_t at = 0, slash;
    int dir = fd;
    while ((slash = all.find('/', at)) != std::string_view::npos) {
        std::string component(all.substr(at, slash - at));
        int next = openat(dir, component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        if (dir != fd)
            close(dir);
        if (next < 0) {
            errno = error;
            return -1;
        }
        dir = next;
        at = slash + 1;
    }
    int leaf = openat(dir, path + at, flags | O_NOFOLLOW | O_CLOEXEC);
    int error = errno;
    if (dir != fd)
        close(dir);
    errno = error;
    return leaf;
}

/* What the store knows of one object beyond its mib_object. */
struct procfs_entry {
    uint32_t path;             /* in paths_: relative to the root; empty for the meta objects */
    bool settled;              /* mode and type known */
    uint16_t mode;             /* permission bits of the file */
    uint8_t fresh;             /* requests that the cached value still answers */
    int error;                 /* errno of the last read, or 0 */
    uint32_t value, value_len; /* the value's bytes in values_ */
};

/* The meta objects under OID 0, as FreeBSD lists them. */
const struct {
    int oid;
    const char *name;
    uint32_t type;
} meta_objects[] = {
    {1, "name", CTLTYPE_NODE},       {2, "next", CTLTYPE_NODE},     {3, "name2oid", CTLTYPE_INT},
    {4, "oidfmt", CTLTYPE_NODE},     {5, "oiddescr", CTLTYPE_NODE}, {6, "oidlabel", CTLTYPE_NODE},
    {7, "nextnoskip", CTLTYPE_NODE},
};

class procfs_store : public kernel_store
{
  public:
    ~procfs_store() override
    {
        if (root_fd_ >= 0)
            close(root_fd_);
        close_dirs();
    }

    bool open(const char *root, std::string &err)
    {
        root_ = root;
        if (int e = open_root()) {
            err = root_ + ": " + std::strerror(e);
            return false;
        }
        build(listing::none);
        return true;
    }

    int value(uint32_t i, const unsigned char **data, size_t *len) override
    {
        settle(i);
        procfs_entry &e = entries_[i];
        if (e.fresh == 0)
            load(i);
        else
            e.fresh--;
        if (e.error)
            return e.error;
        *data = values_.data() + e.value;
        *len = e.value_len;
        return 0;
    }

    int replace(uint32_t i, const unsigned char *bytes, size_t len) override;

    void prepare_object(uint32_t i) override { settle(i); }

    void prepare(const int *name, unsigned namelen) override;

    bool checks_writes() const override { return true; }

    uint32_t find_name(std::string_view name) override;

    unsigned shortest_oid() const override { return 1; }

    int attach(int jid) override;

    void prepare_jails() override;

  private:
    /* How much of the tree build() learns. */
    enum class listing {
        none,   /* the meta objects only, until a request comes */
        path,   /* the objects on the way to path_, and all below it */
        names,  /* every directory's entries */
        values, /* and the files' values, each directory's after its listing */
    };

    int open_root();
    void add_jails();
    void build(listing what, std::string_view path = {});
    void walk(int fd, const std::string &dir, std::vector<int32_t> &oid, const std::string &name,
              uint32_t node, listing what);
    void close_dirs();
    bool complete(uint32_t i) const;
    bool answers(const int *name, unsigned namelen) const;
    uint32_t find_listed(std::string_view name);
    void add(const std::vector<int32_t> &oid, const std::string &name, uint32_t kind,
             uint32_t format, bool handler, std::string_view path, uint32_t parent);
    const char *path_of(uint32_t i) const { return paths_.c_str() + entries_[i].path; }
    void settle(uint32_t i);
    void load(uint32_t i);
    void keep_value(procfs_entry &e);
    int read_text(uint32_t i, std::string &text, int fd);
    int open_leaf(uint32_t i, int flags);

    std::string root_;
    int root_fd_ = -1;
    arena_vector<int> dir_fds_; /* per object: its directory kept open, or -1 */
    uint32_t kept_ = 0;         /* directories kept open */
    static constexpr uint32_t max_kept = 512;
    int dir_fd_ = -1;        /* the directory of the leaf opened last, */
    uint32_t dir_of_ = NONE; /* which is this object */
    bool in_netns_ = false;
    listing listed_ = listing::none; /* what the last build() listed */
    std::string path_;               /* the path that listing::path lists, below the root */
    bool kernel_tree_ = false;       /* writes are allowed */
    bool procfs_ = false;            /* the root is on a procfs mount */
    uint32_t last_ = 0;              /* the object that prepare() found last */
    bool root_user_ = geteuid() == 0;
    image_data data_;
    arena_vector<procfs_entry> entries_;
    image_string paths_; /* the entries' paths, one after another, each NUL-terminated */
    image_bytes values_; /* the values read, one after another */
    std::vector<unsigned char> parsed_; /* the value read last, before keep_value() */
    uint32_t formats_[5];               /* offsets of "N", "A", "L", "LU", "I" in the strings */
    std::vector<std::string> netns_;    /* the network namespaces that -j may enter, sorted */
    /* What getdents64 returns, for walk() at every depth: each takes the
     * names out before going deeper, and a buffer on each one's stack
     * frame would put every frame on pages of its own, each a fault.
     * Not zeroed: only the pages that a listing fills are touched. */
    static constexpr size_t dirents_size = 16384;
    std::unique_ptr<char[]> dirents_ = std::make_unique_for_overwrite<char[]>(dirents_size);
    bool netns_known_ = false; /* netns_ is read */
};

/* Closes the directories kept open, before the tree is listed anew. */
void procfs_store::close_dirs()
{
    for (int fd : dir_fds_)
        if (fd >= 0)
            close(fd);
    dir_fds_.clear();
    kept_ = 0;
    if (dir_fd_ >= 0)
        close(dir_fd_);
    dir_fd_ = -1;
    dir_of_ = NONE;
}

/* Opens root_ and learns whether it may be written. Returns an errno. */
int procfs_store::open_root()
{
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    if (root_fd_ >= 0)
        close(root_fd_);
    root_fd_ = fd;
    struct statfs fs;
    struct stat marker;
    procfs_ = fstatfs(fd, &fs) == 0 && fs.f_type == procfs_magic;
    kernel_tree_ = procfs_ || (fstatat(fd, kernel_marker, &marker, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISREG(marker.st_mode));
    return 0;
}

/* Finds the network namespaces the first time a request looks at the
 * jails: most runs never do. */
void procfs_store::prepare_jails()
{
    if (netns_known_)
        return;
    netns_known_ = true;
    if (DIR *d = opendir(netns_dir)) {
        while (struct dirent *de = readdir(d))
            if (de->d_name[0] != '.')
                netns_.push_back(de->d_name);
        closedir(d);
        std::sort(netns_.begin(), netns_.end());
    }
    add_jails();
    image_index(data_);
    view_ = data_.view;
}

/* Adds the network namespaces that -j may enter as jails, numbered by
 * position. */
void procfs_store::add_jails()
{
    image_string &s = data_.strings;
    for (size_t k = 0; k < netns_.size(); k++) {
        data_.jails.push_back(mib_jail{uint32_t(s.size()), int32_t(k + 1), 1});
        s.append(netns_[k].c_str(), netns_[k].size() + 1);
    }
}

/* Builds the objects that WHAT asks for (for listing::path, the way to
 * PATH) and points view_ at them. */
void procfs_store::build(listing what, std::string_view path)
{
    close_dirs();
    // A listing before read the root to its end.
    if (listed_ != listing::none)
        lseek(root_fd_, 0, SEEK_SET);
    listed_ = what;
    path_ = path;
    data_ = image_data{};
    entries_.clear();
    paths_.clear();
    values_.clear();
    // Room for a large /proc/sys up front, when the whole tree comes:
    // pages never touched cost nothing, while growing copies everything
    // into fresh pages. The few objects of a partial listing stay in the
    // heap, out of the arenas' huge pages.
    if (what == listing::names || what == listing::values) {
        data_.objects.reserve(4096);
        data_.oids.reserve(4096 * 5);
        data_.strings.reserve(4096 * 48);
        entries_.reserve(4096);
        paths_.reserve(4096 * 40);
        values_.reserve(4096 * 16);
        dir_fds_.reserve(4096);
    }
    image_string &s = data_.strings;
    const char *formats[] = {"N", "A", "L", "LU", "I"};
    for (int k = 0; k < 5; k++) {
        formats_[k] = uint32_t(s.size());
        s.append(formats[k], std::strlen(formats[k]) + 1);
    }
    data_.modules.push_back(uint32_t(s.size()));
    s.append("oidlens", 8);

    std::vector<int32_t> oid{0};
    add(oid, "sysctl", CTLTYPE_NODE | CTLFLAG_RD, formats_[0], false, "", NONE);
    for (const auto &m : meta_objects) {
        oid = {0, m.oid};
        uint32_t fmt = m.type == CTLTYPE_NODE ? formats_[0] : formats_[4];
        add(oid, std::string("sysctl.") + m.name, m.type | CTLFLAG_RD, fmt, true, "", 0);
    }
    oid.clear();
    if (what != listing::none)
        walk(root_fd_, "", oid, "", NONE, what);

    add_jails();
    image_index(data_);
    view_ = data_.view;
}

/* Adds the entries of directory DIR (relative to the root; "" for the
 * root), open as FD, whose OID and name are OID and NAME and whose object
 * is NODE, in sorted order, with what WHAT asks for. Takes FD: it is kept
 * for the files' reads or closed. */
void procfs_store::walk(int fd, const std::string &dir, std::vector<int32_t> &oid,
                        const std::string &name, uint32_t node, listing what)
{
    if (fd < 0)
        return; // an unreadable directory is an empty node
    // The entries' names one after another, and where each lies: no
    // string of its own per entry.
    struct child {
        uint32_t at, len;
        bool is_dir;
    };
    std::string names;
    std::vector<child> children;
    ssize_t got;
    while ((got = getdents64(fd, dirents_.get(), dirents_size)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const struct dirent64 *de =
                reinterpret_cast<const struct dirent64 *>(dirents_.get() + at);
            at += de->d_reclen;
            const char *n = de->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                continue;
            if (dir.empty() && std::strcmp(n, kernel_marker) == 0)
                continue;
            unsigned char type = de->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            // Links are left out, whether they point inside or out.
            if (type == DT_DIR || type == DT_REG) {
                size_t len = std::strlen(n);
                children.push_back(child{uint32_t(names.size()), uint32_t(len), type == DT_DIR});
                names.append(n, len + 1);
            }
        }
    }
    // Keep the directory open for its files' reads (within a bound, for
    // machines with thousands of interfaces).
    bool keep = node != NONE && kept_ < max_kept && got == 0;
    if (keep) {
        dir_fds_[node] = fd;
        kept_++;
    }
    auto component = [&names](const child &c) {
        return std::string_view(names.data() + c.at, c.len);
    };
    int32_t position = 0;
    if (what == listing::path) {
        // On the way to path_ only the next name on it is kept: the names
        // before it count for its position. (Bytes compare unsigned, in
        // string_view as in strcmp.)
        std::string_view rest = std::string_view(path_).substr(dir.empty() ? 0 : dir.size() + 1);
        std::string_view next = rest.substr(0, rest.find('/'));
        for (const child &c : children)
            position += component(c) < next;
        std::erase_if(children, [&](const child &c) { return component(c) != next; });
    } else {
        // Names hold no NUL, so strcmp orders them as their bytes do; most
        // tell apart by their first byte, without the call.
        std::sort(children.begin(), children.end(), [&names](const child &a, const child &b) {
            const unsigned char *x = reinterpret_cast<const unsigned char *>(names.data() + a.at);
            const unsigned char *y = reinterpret_cast<const unsigned char *>(names.data() + b.at);
            return *x != *y ? *x < *y : std::strcmp(names.data() + a.at, names.data() + b.at) < 0;
        });
    }

    oid.push_back(0);
    std::string full, path;
    for (const child &c : children) {
        oid.back() = ++position;
        std::string_view base = component(c);
        full.assign(name);
        if (!name.empty())
            full += '.';
        size_t shown = full.size();
        full.append(base);
        std::replace(full.begin() + long(shown), full.end(), '.', '/');
        // The meta node owns the name "sysctl" at the top.
        if (name.empty() && full == "sysctl")
            continue;
        path.assign(dir);
        if (!dir.empty())
            path += '/';
        path.append(base);
        uint32_t scope = procfs_scope(full);
        if (c.is_dir) {
            add(oid, full, CTLTYPE_NODE | CTLFLAG_RD | scope, formats_[0], false, path, node);
            // Below path_ itself, everything.
            listing below = what == listing::path && path == path_ ? listing::names : what;
            if (oid.size() < IMAGE_MAXOID)
                walk(openat(fd, base.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), path,
                     oid, full, uint32_t(entries_.size() - 1), below);
        } else {
            // Readable string until settle() learns the mode and the type.
            add(oid, full, CTLTYPE_STRING | CTLFLAG_RD | scope, formats_[1], true, path, node);
            if (what == listing::values)
                settle(uint32_t(entries_.size() - 1));
        }
    }
    oid.pop_back();
    if (!keep && fd != root_fd_)
        close(fd);
}

/* Adds an object below PARENT (NONE at the top), which open_leaf() needs
 * before the index links the objects. */
void procfs_store::add(const std::vector<int32_t> &oid, const std::string &name, uint32_t kind,
                       uint32_t format, bool handler, std::string_view path, uint32_t parent)
{
    image_string &s = data_.strings;
    mib_object o{};
    o.oid = uint32_t(data_.oids.size());
    data_.oids.insert(data_.oids.end(), oid.begin(), oid.end());
    o.oid_len = uint16_t(oid.size());
    o.name = uint32_t(s.size());
    size_t dot = name.rfind('.');
    o.last = o.name + uint32_t(dot == std::string::npos ? 0 : dot + 1);
    s.append(name.c_str(), name.size() + 1);
    o.format = format;
    o.description = NONE;
    if (const char *text = linux_description(name)) {
        o.description = uint32_t(s.size());
        s.append(text, std::strlen(text) + 1);
    }
    o.label = NONE;
    o.kind = kind;
    o.handler = handler;
    o.parent = parent;
    data_.objects.push_back(o);
    dir_fds_.push_back(-1);
    // Nodes and the meta objects have nothing to learn.
    entries_.push_back(
        procfs_entry{uint32_t(paths_.size()), !handler || oid[0] == 0, 0, 0, 0, 0, 0});
    paths_.append(path);
    paths_ += '\0';
}

/* Opens the file of leaf I with FLAGS. A walk opens the files of one
 * directory after another, so the directory stays open and each file is
 * found by its own name instead of by a path from the root. */
int procfs_store::open_leaf(uint32_t i, int flags)
{
    const char *path = path_of(i);
    uint32_t dir = data_.objects[i].parent;
    flags |= O_NOFOLLOW | O_CLOEXEC;
    if (dir == NONE)
        return openat(root_fd_, path, flags);
    const char *slash = std::strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    if (dir_fds_[dir] >= 0)
        return openat(dir_fds_[dir], base, flags);
    if (dir != dir_of_) {
        if (dir_fd_ >= 0)
            close(dir_fd_);
        dir_fd_ = open_beneath(root_fd_, path_of(dir), O_PATH | O_DIRECTORY);
        dir_of_ = dir_fd_ >= 0 ? dir : NONE;
        if (dir_fd_ < 0)
            return -1;
    }
    return openat(dir_fd_, base, flags);
}

/* Learns the mode and the type of leaf I, keeping the value read. */
void procfs_store::settle(uint32_t i)
{
    procfs_entry &e = entries_[i];
    if (e.settled)
        return;
    e.settled = true;
    mib_object &o = data_.objects[i];
    e.mode = 0;
    int fd = -1;
    if (procfs_ && root_user_) {
        // The kernel grants root the owner's part of a parameter's mode:
        // what root may open is that part, learnt without a stat of each
        // file. Which other users may write does not show this way.
        if ((fd = open_leaf(i, O_RDWR)) >= 0)
            e.mode = 0600;
        else if ((fd = open_leaf(i, O_RDONLY)) >= 0)
            e.mode = 0400;
    } else {
        fd = open_leaf(i, O_RDONLY);
    }
    int open_error = fd < 0 ? errno : 0;
    if (e.mode == 0) {
        // Open first: the mode of an open file costs no second lookup.
        struct stat st;
        bool known = fd >= 0 ? fstat(fd, &st) == 0
                             : fstatat(root_fd_, path_of(i), &st, AT_SYMLINK_NOFOLLOW) == 0;
        e.mode = known ? uint16_t(st.st_mode & 07777) : 0444;
    }
    uint32_t kind = o.kind & ~(CTLTYPE | CTLFLAG_RW | CTLFLAG_ANYBODY);
    if (e.mode & 0444)
        kind |= CTLFLAG_RD;
    if (e.mode & 0222)
        kind |= CTLFLAG_WR;
    if (e.mode & 0002)
        kind |= CTLFLAG_ANYBODY;
    std::string text;
    e.error = fd < 0 ? open_error : read_text(i, text, fd);
    e.fresh = 2;
    uint32_t type = CTLTYPE_STRING;
    parsed_.clear();
    if (!e.error)
        type = procfs_parse(text.data(), text.size(), parsed_);
    keep_value(e);
    o.kind = kind | type;
    o.format = formats_[type == CTLTYPE_LONG ? 2 : type == CTLTYPE_ULONG ? 3 : 1];
}

/* Reads the file of leaf I into its entry, in the type it settled on. */
void procfs_store::load(uint32_t i)
{
    procfs_entry &e = entries_[i];
    std::string text;
    parsed_.clear();
    e.error = read_text(i, text, -1);
    if (!e.error) {
        uint32_t want = data_.objects[i].kind & CTLTYPE;
        uint32_t got = procfs_parse(text.data(), text.size(), parsed_);
        if (want == CTLTYPE_STRING && got != CTLTYPE_STRING)
            procfs_string(text.data(), text.size(), parsed_);
        else if (want != CTLTYPE_STRING && got == CTLTYPE_STRING)
            e.error = EIO; // a number turned into text: its bytes would lie
    }
    keep_value(e);
}

/* Keeps the value in parsed_ as entry E's: in the place of its old one
 * when it fits there, else after the others, so that values share one
 * block instead of a heap block each. */
void procfs_store::keep_value(procfs_entry &e)
{
    if (parsed_.size() > e.value_len) {
        e.value = uint32_t(values_.size());
        values_.resize(values_.size() + parsed_.size());
    }
    std::copy(parsed_.begin(), parsed_.end(), values_.begin() + long(e.value));
    e.value_len = uint32_t(parsed_.size());
}

/* Reads the text of leaf I from FD, or from the file opened anew when FD
 * is -1, and closes it. Returns 0 or the errno of the kernel. */
int procfs_store::read_text(uint32_t i, std::string &text, int fd)
{
    procfs_entry &e = entries_[i];
    // The kernel refuses root a file whose owner may not read it, which
    // root could read if it were an ordinary file: decide by the mode.
    if (!(e.mode & 0444) || (root_user_ && !(e.mode & 0400))) {
        if (fd >= 0)
            close(fd);
        return EACCES;
    }
    if (fd < 0 && (fd = open_leaf(i, O_RDONLY)) < 0)
        return errno;
    int error = 0;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
        // Most values are short: a read that leaves room found the end.
        if (size_t(n) < sizeof buf)
            break;
    }
    close(fd);
    return error;
}

int procfs_store::replace(uint32_t i, const unsigned char *bytes, size_t len)
{
    const mib_object &o = data_.objects[i];
    if (!kernel_tree_)
        return EROFS;
    // A namespace holds only its own parameters: after -j the rest are
    // still the host's, which a container may not change.
    if (in_netns_ && !(o.kind & CTLFLAG_VNET))
        return EPERM;
    std::string text;
    if (!procfs_format(o.kind & CTLTYPE, bytes, len, text))
        return EINVAL;
    int fd = open_leaf(i, O_WRONLY);
    if (fd < 0)
        return errno;
    int error = 0;
    size_t done = 0;
    while (done < text.size() || text.empty()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        done += size_t(n);
        if (text.empty())
            break;
    }
    // An ordinary file (a tree built for tests) keeps what lay past the
    // new text; the kernel's files have no size to cut.
    struct stat st;
    if (!error && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > off_t(done) &&
        ftruncate(fd, off_t(done)) != 0)
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    // The next read asks the kernel, which may have changed what it got.
    entries_[i].fresh = 0;
    return error;
}

uint32_t procfs_store::find_name(std::string_view name)
{
    // A name whose first separator is "/" is a path below the root, as
    // Linux's sysctl takes it: "/" between components, "." inside one.
    // When that finds nothing, the name is the shown, dotted one after all.
    size_t first = name.find_first_of("./");
    if (first != std::string_view::npos && name[first] == '/') {
        uint32_t i = find_listed(swap_separators(name));
        if (i != NONE)
            return i;
    }
    return find_listed(name);
}

/* The object of the shown NAME, or NONE, after listing what the name
 * needs: on a first request the way to its path, which finds it or tells
 * that the tree has no such name. Any object listed has its own OID (the
 * requests that follow list more when they need it); a name that a
 * partial listing does not hold may be anywhere else. */
uint32_t procfs_store::find_listed(std::string_view name)
{
    std::string path = swap_separators(name);
    if (listed_ == listing::none)
        build(listing::path, path);
    uint32_t i = image_find_name(view_, name);
    if (i == NONE && listed_ == listing::path && path != path_) {
        build(listing::names);
        i = image_find_name(view_, name);
    }
    return i;
}

/* Does the listing hold object I and the whole subtree below it? */
bool procfs_store::complete(uint32_t i) const
{
    if (i == NONE)
        return false;
    if (listed_ != listing::path || (view_.objects[i].kind & CTLTYPE) != CTLTYPE_NODE)
        return true;
    return path_of(i) == path_ || inside(path_of(i), path_);
}

/* Does the listing answer request NAME as a listing of the whole tree
 * would? Within a listing::path, an object listed is answered exactly:
 * its OID, name, kind and value; a subtree only when complete(). */
bool procfs_store::answers(const int *name, unsigned namelen) const
{
    if (listed_ == listing::names || listed_ == listing::values)
        return true;
    if (name[0] == 0 && name[1] == CTL_SYSCTL_NAME2OID)
        return true; // find_name() lists what the name needs
    if (listed_ == listing::none)
        return false;
    if (name[0] != 0)
        return image_find_oid(view_, name, namelen) != NONE;
    const int *oid = name + 2;
    size_t n = namelen - 2;
    switch (name[1]) {
    case CTL_SYSCTL_NAME:
    case CTL_SYSCTL_OIDFMT:
    case CTL_SYSCTL_OIDDESCR:
    case CTL_SYSCTL_OIDLABEL:
    case CTL_SYSCTL_OIDHANDLER:
        return image_find_oid(view_, oid, n) != NONE;
    case CTL_SYSCTL_OIDENTRIES: {
        size_t depth = n >= 1 ? size_t(oid[0]) & OIDLENS_DEPTH : 0;
        return depth >= 1 && depth < n && complete(image_find_oid(view_, oid + 1, depth));
    }
    default: // next and nextnoskip may lead anywhere in the tree
        return false;
    }
}

void procfs_store::prepare(const int *name, unsigned namelen)
{
    if (!answers(name, namelen)) {
        bool whole_tree =
            namelen == 3 && name[0] == 0 && name[1] == CTL_SYSCTL_OIDENTRIES && name[2] == 0;
        build(whole_tree ? listing::values : listing::names);
    }
    if (name[0] != 0)
        return;
    auto settle_oid = [this](const int *oid, size_t n) {
        // A walk asks for one object's type, then the next object's: try
        // the object asked for last before searching.
        auto is_at = [&](uint32_t k) {
            return k < view_.count && view_.objects[k].oid_len == n &&
                   std::memcmp(obj_oid(view_, k), oid, n * sizeof(int)) == 0;
        };
        uint32_t i = is_at(last_)       ? last_
                     : is_at(last_ + 1) ? last_ + 1
                                        : image_find_oid(view_, oid, n);
        if (i != NONE) {
            last_ = i;
            settle(i);
        }
    };
    // The meta-OIDs that show a type or flags: oidfmt, the handler query
    // (which the program asks after the flags) and the bulk entries.
    if (name[1] == CTL_SYSCTL_OIDFMT || name[1] == CTL_SYSCTL_OIDHANDLER) {
        settle_oid(name + 2, namelen - 2);
    } else if (name[1] == CTL_SYSCTL_OIDENTRIES && namelen >= 3) {
        const int *oid = name + 3;
        size_t n = namelen - 3, depth = size_t(name[2]) & OIDLENS_DEPTH;
        uint32_t from = image_lower_bound(view_, oid, n), to = view_.count;
        if (depth > 0) {
            uint32_t top = depth <= n ? image_find_oid(view_, oid, depth) : NONE;
            to = top == NONE ? from : view_.objects[top].end;
        }
        for (uint32_t i = from; i < to; i++)
            settle(i);
    }
}

int procfs_store::attach(int jid)
{
    const char *name = nullptr;
    for (uint32_t k = 0; k < view_.njails; k++)
        if (view_.jails[k].jid == jid)
            name = view_.strings + view_.jails[k].name;
    if (!name)
        return EINVAL;
    std::string path = std::string(netns_dir) + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = setns(fd, CLONE_NEWNET) == 0 ? 0 : errno;
    close(fd);
    if (error)
        return error;
    // net.* now shows the namespace's interfaces and values: the next
    // request lists anew what it needs, opening everything by path.
    in_netns_ = true;
    if (int e = open_root())
        return e;
    build(listing::none);
    return 0;
}

} // namespace

std::unique_ptr<kernel_store> open_procfs_store(const char *root, std::string &err)
{
    auto s = std::make_unique<procfs_store>();
    if (!s->open(root, err))
        return nullptr;
    return s;
}

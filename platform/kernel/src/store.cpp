/*
 * The two stores built on MIB images. Both keep the booted image read-only
 * and hold the values that writes change in a small map beside it; they
 * differ in where a write goes:
 *  - an image file: the object's "value" in the file itself, rewritten;
 *  - the embedded default: a state file of changed values (one line per
 *    object, "dotted-OID hex-bytes"), named after the default's fingerprint
 *    so that a rebuilt default never picks up values meant for another.
 */
#include "store.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <sys/sysctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "image_load.h"
#include "kernel.h"
#include "persist.h"
#include "values.h"

namespace
{

/* What both image stores share: the image and the changed values. */
class image_store : public kernel_store
{
  public:
    int value(uint32_t i, const unsigned char **data, size_t *len) override
    {
        if (!changed_.empty()) {
            auto it = changed_.find(i);
            if (it != changed_.end()) {
                *data = it->second.data();
                *len = it->second.size();
                return 0;
            }
        }
        *data = view_.values + view_.objects[i].value;
        *len = view_.objects[i].value_len;
        return 0;
    }

  protected:
    /* Ends a write with errno E, first telling the user WHY when there is
     * more to say than the errno. */
    static int refused(int e, const std::string &why)
    {
        if (e && !why.empty())
            kernel_report(why);
        return e;
    }

    std::unordered_map<uint32_t, std::vector<unsigned char>> changed_;
};

std::string dotted_oid(const image_view &v, uint32_t i)
{
    std::string s;
    const int32_t *oid = obj_oid(v, i);
    for (size_t k = 0; k < v.objects[i].oid_len; k++) {
        if (k)
            s += '.';
        s += std::to_string(oid[k]);
    }
    return s;
}

/* The image form of V (mib/FORMAT.md), one object a line, with the LEN
 * bytes at BYTES as the value of object CHANGED. */
std::string image_text(const image_view &v, uint32_t changed, const unsigned char *bytes,
                       size_t len)
{
    json_pool pool;
    json_document doc(&pool);
    auto str = [&](const char *s) { return json_value(s, pool); };
    doc.SetObject();
    json_value modules(rapidjson::kArrayType), jails(rapidjson::kArrayType);
    for (uint32_t k = 0; k < v.nmodules; k++)
        modules.PushBack(str(v.strings + v.modules[k]), pool);
    for (uint32_t k = 0; k < v.njails; k++) {
        json_value j(rapidjson::kObjectType);
        j.AddMember("name", str(v.strings + v.jails[k].name), pool);
        j.AddMember("jid", v.jails[k].jid, pool);
        j.AddMember("vnet", v.jails[k].vnet != 0, pool);
        jails.PushBack(j, pool);
    }
    doc.AddMember("modules", modules, pool);
    doc.AddMember("securelevel", v.securelevel, pool);
    doc.AddMember("jails", jails, pool);
    rapidjson::GenericStringBuffer<rapidjson::UTF8<>, json_allocator> out;
    rapidjson::Writer<decltype(out), rapidjson::UTF8<>, rapidjson::UTF8<>, json_allocator> w(out);
    doc.Accept(w);
    std::string text(out.GetString(), out.GetSize() - 1); // without the closing brace
    text += ",\"objects\": [";
    for (uint32_t i = 0; i < v.count; i++) {
        const mib_object &o = v.objects[i];
        json_value e(rapidjson::kObjectType), oid(rapidjson::kArrayType), value;
        for (size_t k = 0; k < o.oid_len; k++)
            oid.PushBack(obj_oid(v, i)[k], pool);
        e.AddMember("oid", oid, pool);
        e.AddMember("name", str(obj_name(v, i)), pool);
        e.AddMember("type", o.kind & 0xf, pool);
        e.AddMember("flags", o.kind & ~0xfu, pool);
        e.AddMember("format", str(obj_str(v, o.format)), pool);
        if (o.label != NONE)
            e.AddMember("label", str(obj_str(v, o.label)), pool);
        if (o.description != NONE)
            e.AddMember("description", str(obj_str(v, o.description)), pool);
        e.AddMember("handler", o.handler != 0, pool);
        const std::pair<const char *, uint32_t> numbers[] = {
            {"maxlen", o.maxlen},
            {"grows_by", o.grows_by},
            {"read_error", uint32_t(o.read_error)},
            {"write_error", uint32_t(o.write_error)},
            {"handler_error", uint32_t(o.handler_error)},
        };
        for (const auto &[key, n] : numbers) {
            if (n)
                e.AddMember(json_value(rapidjson::StringRef(key)), json_value(n), pool);
        }
        if (i == changed)
            decode_value(o.kind & 0xf, bytes, len, value, pool);
        else
            decode_value(o.kind & 0xf, v.values + o.value, o.value_len, value, pool);
        e.AddMember("value", value, pool);
        out.Clear();
        w.Reset(out);
        e.Accept(w);
        text += i ? ",\n  " : "\n  ";
        text.append(out.GetString(), out.GetSize());
    }
    text += "\n]}\n";
    return text;
}

/* An image file: writes rewrite the file's JSON. */
class file_store : public image_store
{
  public:
    bool open(const char *path, std::string &err)
    {
        path_ = path;
        if (!image_load_file(path, data_, err))
            return false;
        view_ = data_.view;
        // Writes go to the file that was loaded: through a symbolic link,
        // the link's target, replaced in its own directory.
        struct stat st;
        if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
            if (char *real = realpath(path, nullptr)) {
                path_ = real;
                std::free(real);
            }
        }
        return true;
    }

    unsigned shortest_oid() const override { return data_.shortest_oid; }

    int replace(uint32_t i, const unsigned char *bytes, size_t len) override
    {
        std::string why, text;
        int fd = lock_file(path_.c_str(), false, why);
        struct stat st;
        int e = fd < 0                ? errno
                : fstat(fd, &st) != 0 ? errno
                                      : rewrite(fd, size_t(st.st_size), text, i, bytes, len);
        if (!e)
            e = replace_file(path_.c_str(), text, fd);
        if (fd >= 0)
            close(fd);
        if (!e)
            changed_[i].assign(bytes, bytes + len);
        return refused(e, why);
    }

  private:
    /* Reads the file's newest content (other processes may have changed it
     * since boot) from FD, of about SIZE bytes, into TEXT, and sets the
     * value of object I there: the element it was loaded from, if it still
     * has the object's OID, gets the new value's JSON in place of the old;
     * the rest of the text stays as it is. Returns 0 or an errno. */
    int rewrite(int fd, size_t size, std::string &text, uint32_t i, const unsigned char *bytes,
                size_t len)
    {
        try {
            // Room for the new value, so that it goes in without a copy.
            text.reserve(size + 64 + 6 * len);
            int e = read_all(fd, text);
            return e ? e : set_value(text, i, bytes, len);
        } catch (const std::bad_alloc &) {
            return ENOMEM;
        }
    }

    int set_value(std::string &text, uint32_t i, const unsigned char *bytes, size_t len)
    {
        const mib_object &o = view_.objects[i];
        // An object that no element of "objects" holds was loaded from a
        // snapshot: the file becomes the image of the same machine.
        if (o.element == NONE)
            return rewrite_as_image(text, i, bytes, len);
        image_value_place at;
        int e = image_find_element(text, o.element, at);
        if (e)
            return e;
        if (!std::equal(at.oid.begin(), at.oid.end(), obj_oid(view_, i),
                        obj_oid(view_, i) + o.oid_len) ||
            at.oid.size() != o.oid_len)
            return ENOENT;
        json_pool pool;
        json_value v;
        decode_value(o.kind & 0xf, bytes, len, v, pool);
        rapidjson::GenericStringBuffer<rapidjson::UTF8<>, json_allocator> json;
        rapidjson::Writer<decltype(json), rapidjson::UTF8<>, rapidjson::UTF8<>, json_allocator> w(
            json);
        v.Accept(w);
        std::string member = at.has_value ? ": " : ", \"value\": ";
        member.append(json.GetString(), json.GetSize());
        text.replace(at.begin, at.end - at.begin, member);
        return 0;
    }

    /* Replaces TEXT, a snapshot as the file now has it (or the image
     * another writer made of it), by the image of all its objects with the
     * new value of object I. */
    int rewrite_as_image(std::string &text, uint32_t i, const unsigned char *bytes, size_t len)
    {
        image_data now;
        std::string err;
        if (!image_load_text(path_.c_str(), text, now, err))
            return EIO;
        uint32_t j = image_find_oid(now.view, obj_oid(view_, i), view_.objects[i].oid_len);
        if (j == NONE)
            return ENOENT;
        text = image_text(now.view, j, bytes, len);
        return 0;
    }

    std::string path_;
    image_data data_;
};

/* The embedded default: writes go to the user's state file. Only this
 * program writes it, so anything in it that a write would not have put
 * there means damage: such a file is reported and left alone, its values
 * unused and never overwritten. */
class default_store : public image_store
{
  public:
    /* Boots the default with the values saved in the state file. Fails
     * only when memory runs out, with a message in ERR. */
    bool open(std::string &err)
    {
        view_ = *embedded_image();
        std::string dir, why;
        int e = state_dir(dir, false, why);
        if (!e) {
            path_ = dir + "/" + state_name();
            int fd = open_file(path_.c_str(), O_RDONLY, why);
            e = fd < 0 ? errno : 0;
            try {
                saved_values saved;
                if (!e && (e = load(fd, saved, why)) == 0)
                    changed_.insert(saved.begin(), saved.end());
            } catch (const std::bad_alloc &) {
                e = ENOMEM;
            }
            if (fd >= 0)
                close(fd);
            if (e == ENOMEM) {
                err = path_ + ": " + std::strerror(ENOMEM);
                return false;
            }
            if (e && e != ENOENT && why.empty())
                why = path_ + ": " + std::strerror(e);
        }
        if (e && !why.empty())
            kernel_report(why + "; using the image's values");
        return true;
    }

    int replace(uint32_t i, const unsigned char *bytes, size_t len) override
    {
        std::string dir, why;
        int fd = -1;
        int e = state_dir(dir, true, why);
        try {
            if (!e) {
                path_ = dir + "/" + state_name();
                if (!fits(i, bytes, len)) {
                    why = path_ + ": keeps at most " + std::to_string(longest(view_.objects[i])) +
                          " bytes for " + (view_.strings + view_.objects[i].name);
                    e = EFBIG;
                }
            }
            if (!e) {
                fd = lock_file(path_.c_str(), true, why);
                e = fd < 0 ? errno : 0;
            }
            // Keep the other objects' values as the newest file has them.
            saved_values saved;
            if (!e && (e = load(fd, saved, why)) != 0 && !why.empty())
                why += "; not overwritten";
            if (!e) {
                saved[i].assign(bytes, bytes + len);
                e = replace_file(path_.c_str(), text_of(saved), fd);
            }
            if (!e)
                changed_[i].assign(bytes, bytes + len);
        } catch (const std::bad_alloc &) {
            why = path_ + ": " + std::strerror(ENOMEM);
            e = ENOMEM;
        }
        if (fd >= 0)
            close(fd);
        return refused(e, why);
    }

  private:
    using saved_values = std::map<uint32_t, std::vector<unsigned char>>;

    /* The most a saved value of an object without a bound of its own (a
     * string without maxlen, a structure of no present size) may take. */
    static constexpr size_t value_cap = 1 << 20;

    std::string state_name() const
    {
        char name[64];
        std::snprintf(name, sizeof name, "default-%016llx.state",
                      static_cast<unsigned long long>(view_.fingerprint));
        return name;
    }

    /* The longest value that a write stores into object O. */
    static size_t longest(const mib_object &o)
    {
        if ((o.kind & CTLTYPE) == CTLTYPE_STRING)
            return o.maxlen ? o.maxlen : value_cap;
        return stored_size(o, o.value_len, value_cap);
    }

    /* The most that the line of object O with a value of LEN bytes takes. */
    static size_t line_size(const mib_object &o, size_t len)
    {
        return 12 * o.oid_len + 2 * len + 1;
    }

    static bool writable(const mib_object &o)
    {
        return (o.kind & CTLFLAG_WR) && (o.kind & CTLTYPE) != CTLTYPE_NODE;
    }

    /* Can LEN bytes at BYTES be what a write stored into object I? */
    bool fits(uint32_t i, const unsigned char *bytes, size_t len) const
    {
        const mib_object &o = view_.objects[i];
        if (len > longest(o))
            return false;
        if ((o.kind & CTLTYPE) == CTLTYPE_STRING)
            return len > 0 && std::memchr(bytes, 0, len) == bytes + len - 1;
        return stored_size(o, o.value_len, len) == len;
    }

    /* The size of the largest state file: every writable object's line
     * with the longest value it takes. */
    size_t limit()
    {
        if (!limit_) {
            for (uint32_t i = 0; i < view_.count; i++) {
                const mib_object &o = view_.objects[i];
                if (writable(o))
                    limit_ += line_size(o, longest(o));
            }
        }
        return limit_;
    }

    std::string text_of(const saved_values &saved) const;
    int load(int fd, saved_values &saved, std::string &why);
    uint32_t find(std::string_view oid) const;

    std::string path_;
    size_t limit_ = 0;
};

/* One line per object: "dotted-OID hex-bytes". */
std::string default_store::text_of(const saved_values &saved) const
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    size_t size = 0;
    for (auto &[i, bytes] : saved)
        size += line_size(view_.objects[i], bytes.size());
    text.reserve(size);
    for (auto &[i, bytes] : saved) {
        text += dotted_oid(view_, i);
        text += ' ';
        for (unsigned char b : bytes) {
            text += digits[b >> 4];
            text += digits[b & 15];
        }
        text += '\n';
    }
    return text;
}

/* The writable object that the dotted OID names, or NONE. */
uint32_t default_store::find(std::string_view oid) const
{
    int32_t comps[IMAGE_MAXOID];
    size_t n = 0;
    const char *p = oid.data(), *end = p + oid.size();
    while (p < end && n < IMAGE_MAXOID) {
        auto [next, ec] = std::from_chars(p, end, comps[n++]);
        if (ec != std::errc() || (next < end && (*next != '.' || next + 1 == end)))
            return NONE;
        p = next < end ? next + 1 : next;
    }
    uint32_t i = p == end && n ? image_find_oid(view_, comps, n) : NONE;
    return i != NONE && writable(view_.objects[i]) ? i : NONE;
}

/* Reads the state file open on FD into SAVED. Returns 0, or an errno with
 * WHY naming the file and the damage: EFBIG for a file larger than any
 * state, EIO for a line that no write made. */
int default_store::load(int fd, saved_values &saved, std::string &why)
{
    std::string text;
    int e = read_all(fd, text, limit());
    if (e == EFBIG)
        why = path_ + ": larger than the " + std::to_string(limit()) +
              " bytes that the saved values can take";
    if (e)
        return e;
    size_t at = 0;
    for (size_t line = 1; at < text.size(); line++) {
        size_t nl = text.find('\n', at);
        std::string_view l(text.data() + at, (nl == std::string::npos ? text.size() : nl) - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        size_t sp = l.find(' ');
        std::string_view hex = sp == std::string::npos ? "" : l.substr(sp + 1);
        std::vector<unsigned char> bytes;
        bytes.reserve(hex.size() / 2);
        // Only the characters of an OID, so that the message shows no others.
        bool ok = nl != std::string::npos && !hex.empty() && hex.size() % 2 == 0 &&
                  l.substr(0, sp).find_first_not_of("0123456789.-") == std::string_view::npos;
        for (size_t k = 0; ok && k < hex.size(); k += 2) {
            unsigned char b = 0;
            auto [next, ec] = std::from_chars(hex.data() + k, hex.data() + k + 2, b, 16);
            ok = ec == std::errc() && next == hex.data() + k + 2;
            bytes.push_back(b);
        }
        std::string problem;
        uint32_t i = ok ? find(l.substr(0, sp)) : NONE;
        if (!ok)
            problem = "not 'OID HEX-BYTES'";
        else if (i == NONE)
            problem = "no writable object " + std::string(l.substr(0, sp));
        else if (!fits(i, bytes.data(), bytes.size()))
            problem = std::to_string(bytes.size()) + " bytes cannot be a value of " +
                      (view_.strings + view_.objects[i].name);
        else if (!saved.emplace(i, std::move(bytes)).second)
            problem = std::string(view_.strings + view_.objects[i].name) + " a second time";
        if (!problem.empty()) {
            why = path_ + ": line " + std::to_string(line) + ": " + problem;
            saved.clear();
            return EIO;
        }
    }
    return 0;
}

} // namespace

int state_dir(std::string &dir, bool create, std::string &why)
{
    const char *xdg = getenv("XDG_RUNTIME_DIR");
    bool private_tmp = !(xdg && xdg[0] == '/');
    dir = private_tmp ? "/tmp/tunex-" + std::to_string(geteuid()) : std::string(xdg) + "/tunex";
    if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    // A directory in /tmp could have been made by someone else to catch or
    // feed our state: use it only when it is ours and private.
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return errno;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    why = S_ISLNK(st.st_mode)      ? "a symbolic link"
          : !S_ISDIR(st.st_mode)   ? "not a directory"
          : st.st_uid != geteuid() ? "owned by user " + std::to_string(st.st_uid) +
                                         ", not by user " + std::to_string(geteuid())
          : (st.st_mode & 077) != 0 ? "mode " + std::string(mode) + ", open to other users"
                                    : "";
    if (why.empty())
        return 0;
    why = dir + ": " + why + ", refused as the state directory";
    return EACCES;
}

std::unique_ptr<kernel_store> open_store(const char *source, std::string &err)
{
    if (!source) {
        auto s = std::make_unique<default_store>();
        if (!s->open(err))
            return nullptr;
        return s;
    }
    struct stat st;
    if (stat(source, &st) == 0 && S_ISDIR(st.st_mode))
        return open_procfs_store(source, err);
    auto s = std::make_unique<file_store>();
    if (!s->open(source, err))
        return nullptr;
    return s;
}

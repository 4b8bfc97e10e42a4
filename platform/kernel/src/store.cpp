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
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "image_load.h"
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
        return true;
    }

    int replace(uint32_t i, const unsigned char *bytes, size_t len) override
    {
        int fd = lock_file(path_.c_str(), false);
        if (fd < 0)
            return errno;
        std::string text;
        struct stat st;
        int e = fstat(fd, &st) != 0 ? errno : rewrite(fd, size_t(st.st_size), text, i, bytes, len);
        if (!e)
            e = replace_file(path_.c_str(), text, st.st_mode & 07777);
        close(fd);
        if (!e)
            changed_[i].assign(bytes, bytes + len);
        return e;
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
        image_value_place at;
        int e = o.element == NONE ? ENOENT : image_find_element(text, o.element, at);
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

    std::string path_;
    image_data data_;
};

/* The embedded default: writes go to the user's state file. */
class default_store : public image_store
{
  public:
    void open()
    {
        view_ = *embedded_image();
        std::string dir;
        if (state_dir(dir, false) != 0)
            return;
        path_ = dir + "/" + state_name();
        FILE *f = std::fopen(path_.c_str(), "re");
        if (!f)
            return;
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
        apply(text);
    }

    int replace(uint32_t i, const unsigned char *bytes, size_t len) override
    {
        std::string dir;
        int e = state_dir(dir, true);
        if (e)
            return e;
        path_ = dir + "/" + state_name();
        int fd = lock_file(path_.c_str(), true);
        if (fd < 0)
            return errno;
        std::string text;
        e = read_all(fd, text);
        if (!e) {
            // Keep the other objects' lines as the newest file has them.
            std::map<std::string, std::string> lines = parse(text);
            static const char digits[] = "0123456789abcdef";
            std::string hex;
            for (size_t k = 0; k < len; k++) {
                hex += digits[bytes[k] >> 4];
                hex += digits[bytes[k] & 15];
            }
            lines[dotted_oid(view_, i)] = hex;
            text.clear();
            for (auto &[oid, h] : lines)
                text += oid + " " + h + "\n";
            e = replace_file(path_.c_str(), text, 0600);
        }
        close(fd);
        if (!e)
            changed_[i].assign(bytes, bytes + len);
        return e;
    }

  private:
    std::string state_name() const
    {
        char name[64];
        std::snprintf(name, sizeof name, "default-%016llx.state",
                      static_cast<unsigned long long>(view_.fingerprint));
        return name;
    }

    static std::map<std::string, std::string> parse(const std::string &text)
    {
        std::map<std::string, std::string> lines;
        size_t at = 0;
        while (at < text.size()) {
            size_t nl = text.find('\n', at);
            if (nl == std::string::npos)
                break; // a line without its newline was never written whole
            std::string line = text.substr(at, nl - at);
            at = nl + 1;
            size_t sp = line.find(' ');
            if (sp != std::string::npos)
                lines[line.substr(0, sp)] = line.substr(sp + 1);
        }
        return lines;
    }

    /* Applies the lines of a state file; lines that name no object of this
     * image or hold bad hex are ignored. */
    void apply(const std::string &text)
    {
        for (auto &[oid, hex] : parse(text)) {
            int32_t comps[IMAGE_MAXOID];
            size_t n = 0;
            const char *p = oid.c_str();
            bool ok = true;
            while (ok && *p && n < IMAGE_MAXOID) {
                char *end;
                comps[n++] = int32_t(std::strtol(p, &end, 10));
                ok = end != p && (*end == '.' || *end == '\0');
                p = *end ? end + 1 : end;
            }
            uint32_t i = ok ? image_find_oid(view_, comps, n) : NONE;
            if (i == NONE || hex.size() % 2)
                continue;
            std::vector<unsigned char> bytes;
            for (size_t k = 0; ok && k < hex.size(); k += 2) {
                unsigned v;
                ok = std::sscanf(hex.c_str() + k, "%2x", &v) == 1;
                bytes.push_back(static_cast<unsigned char>(v));
            }
            if (ok)
                changed_[i] = std::move(bytes);
        }
    }

    std::string path_;
};

} // namespace

int state_dir(std::string &dir, bool create)
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
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0)
        return EACCES;
    return 0;
}

std::unique_ptr<kernel_store> open_store(const char *source, std::string &err)
{
    if (!source) {
        auto s = std::make_unique<default_store>();
        s->open();
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

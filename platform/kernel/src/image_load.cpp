/*
 * The MIB image loader. A well-formed image is loaded as it is read
 * (image_stream.cpp); any other image is parsed whole by RapidJSON into a
 * document, which reports the place of a syntax error, before one pass
 * turns every JSON object into a mib_object with its strings and value
 * appended to the image's arenas. Both readers share that conversion and
 * the tree checks, which run on the sorted array: duplicates are
 * neighbours there and a parent always precedes its children.
 */
#include "image_load.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/error/error.h>

#include "image_load_parts.h"
#include "values.h"

using namespace image_loading;

namespace
{

using rapidjson::Value;

/* A large, short-lived buffer of a load (the file's text or the parsed
 * document), in arena memory: mapped in huge pages when it is large. */
class big_buffer
{
  public:
    big_buffer() = default;
    big_buffer(const big_buffer &) = delete;
    big_buffer &operator=(const big_buffer &) = delete;
    ~big_buffer() { release(); }

    /* Takes SIZE bytes; false when the memory is not there. */
    bool allocate(size_t size)
    {
        release();
        try {
            data_ = static_cast<char *>(arena_allocate(size));
        } catch (const std::bad_alloc &) {
            return false;
        }
        len_ = size;
        return true;
    }
    char *data() const { return data_; }
    size_t capacity() const { return len_; }

  private:
    void release()
    {
        if (data_)
            arena_free(data_, len_);
        data_ = nullptr;
        len_ = 0;
    }
    char *data_ = nullptr;
    size_t len_ = 0;
};

struct errno_name {
    const char *name;
    int code;
};
const errno_name errno_names[] = {
    {"EPERM", EPERM},
    {"ENOENT", ENOENT},
    {"ESRCH", ESRCH},
    {"EINTR", EINTR},
    {"EIO", EIO},
    {"ENXIO", ENXIO},
    {"E2BIG", E2BIG},
    {"EBADF", EBADF},
    {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},
    {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},
    {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},
    {"ENOTDIR", ENOTDIR},
    {"EISDIR", EISDIR},
    {"EINVAL", EINVAL},
    {"ENOSPC", ENOSPC},
    {"EROFS", EROFS},
    {"EDOM", EDOM},
    {"ERANGE", ERANGE},
    {"ENOSYS", ENOSYS},
    {"ENOTSUP", ENOTSUP},
    {"EOPNOTSUPP", EOPNOTSUPP},
    {"ETIMEDOUT", ETIMEDOUT},
    {"ENAMETOOLONG", ENAMETOOLONG},
    {"ENOTTY", ENOTTY},
    {"EXDEV", EXDEV},
    {"ECHILD", ECHILD},
};
static_assert(sizeof(errno_names) / sizeof(errno_names[0]) == 30, "errno names");

const char *const parse_errors[] = {
    "no error",
    "the document is empty",
    "text after the end of the document",
    "invalid value",
    "expected a member name in double quotes",
    "expected ':'",
    "expected ',' or '}'",
    "expected ',' or ']'",
    "invalid \\u escape",
    "invalid surrogate pair",
    "invalid escape",
    "unterminated string",
    "invalid UTF-8",
    "number too big",
    "expected digits after '.'",
    "expected digits in the exponent",
    "parsing stopped",
    "syntax error",
};
static_assert(sizeof(parse_errors) / sizeof(parse_errors[0]) ==
                  rapidjson::kParseErrorUnspecificSyntaxError + 1,
              "one text per RapidJSON parse error");

/* The keys of an object, looked up by length first: a load compares
 * hundreds of thousands of them. */
enum object_key {
    K_NAME,
    K_OID,
    K_TYPE,
    K_VALUE,
    K_FLAGS,
    K_FORMAT,
    K_DESCRIPTION,
    K_LABEL,
    K_HANDLER,
    K_SECURE_LEVEL,
    K_MAXLEN,
    K_GROWS_BY,
    K_READ_ERROR,
    K_WRITE_ERROR,
    K_HANDLER_ERROR,
    K_UNKNOWN
};

/* Is the JSON string S equal to the LEN bytes at T? */
bool same(const Value &s, const char *t, size_t len)
{
    return s.GetStringLength() == len && std::memcmp(s.GetString(), t, len) == 0;
}
bool same(const Value &s, const char *t)
{
    return same(s, t, std::strlen(t));
}

/* Is the string S of the right length the key K? The length is known at
 * compile time, so the comparison is a load or two. */
template <size_t N> bool is_key(const char *s, const char (&k)[N])
{
    return std::memcmp(s, k, N - 1) == 0;
}

object_key key_of(const Value &name)
{
    // By length, then the few keys of that length.
    const char *s = name.GetString();
    switch (name.GetStringLength()) {
    case 3:
        return is_key(s, "oid") ? K_OID : K_UNKNOWN;
    case 4:
        return is_key(s, "name") ? K_NAME : is_key(s, "type") ? K_TYPE : K_UNKNOWN;
    case 5:
        return is_key(s, "value")   ? K_VALUE
               : is_key(s, "flags") ? K_FLAGS
               : is_key(s, "label") ? K_LABEL
                                    : K_UNKNOWN;
    case 6:
        return is_key(s, "format") ? K_FORMAT : is_key(s, "maxlen") ? K_MAXLEN : K_UNKNOWN;
    case 7:
        return is_key(s, "handler") ? K_HANDLER : K_UNKNOWN;
    case 8:
        return is_key(s, "grows_by") ? K_GROWS_BY : K_UNKNOWN;
    case 10:
        return is_key(s, "read_error") ? K_READ_ERROR : K_UNKNOWN;
    case 11:
        return is_key(s, "description")   ? K_DESCRIPTION
               : is_key(s, "write_error") ? K_WRITE_ERROR
                                          : K_UNKNOWN;
    case 12:
        return is_key(s, "secure_level") ? K_SECURE_LEVEL : K_UNKNOWN;
    case 13:
        return is_key(s, "handler_error") ? K_HANDLER_ERROR : K_UNKNOWN;
    }
    return K_UNKNOWN;
}

std::string dotted(const int32_t *oid, size_t len)
{
    std::string s;
    for (size_t i = 0; i < len; i++) {
        if (i)
            s += '.';
        s += std::to_string(oid[i]);
    }
    return s;
}

bool parse_flags(const Value &v, uint32_t *flags, std::string &why)
{
    if (v.IsUint()) {
        *flags = v.GetUint();
        if (*flags & 0xf) {
            why = "flags must leave the type bits (0xf) clear";
            return false;
        }
        return true;
    }
    if (!v.IsArray()) {
        why = "flags must be an array of names or a number";
        return false;
    }
    // The names' lengths, measured once: the names are unique, so the
    // first one that matches is the one.
    static const struct lengths {
        size_t of[sizeof image_flags / sizeof image_flags[0]];
        lengths()
        {
            for (size_t i = 0; i < sizeof image_flags / sizeof image_flags[0]; i++)
                of[i] = std::strlen(image_flags[i].name);
        }
    } names;
    *flags = 0;
    for (const Value &f : v.GetArray()) {
        const flag_name *hit = nullptr;
        for (size_t i = 0; f.IsString() && i < sizeof image_flags / sizeof image_flags[0]; i++) {
            const flag_name &n = image_flags[i];
            if (f.GetString()[0] == n.name[0] && same(f, n.name, names.of[i])) {
                hit = &n;
                break;
            }
        }
        if (!hit) {
            why = std::string("unknown flag '") + (f.IsString() ? f.GetString() : "?") + "'";
            return false;
        }
        *flags |= hit->bit;
    }
    return true;
}

bool parse_type(const Value &v, uint32_t *type, std::string &why)
{
    if (v.IsUint() && v.GetUint() >= 1 && v.GetUint() <= 15) {
        *type = v.GetUint();
        return true;
    }
    for (uint32_t t = 1; t < 16; t++) {
        if (v.IsString() && v.GetString()[0] == image_types[t].name[0] &&
            same(v, image_types[t].name)) {
            *type = t;
            return true;
        }
    }
    why = v.IsString() ? std::string("unknown type '") + v.GetString() + "'" : "invalid type";
    return false;
}

bool parse_errno(const Value &v, int16_t *code, std::string &why)
{
    int e = 0;
    if (v.IsInt() && v.GetInt() > 0 && v.GetInt() < 4096)
        e = v.GetInt();
    else if (v.IsString())
        e = errno_from_name(v.GetString());
    if (e <= 0) {
        why = "unknown errno";
        return false;
    }
    *code = int16_t(e);
    return true;
}

} // namespace

namespace image_loading
{

/* Turns one JSON object of "objects" into a mib_object. */
bool load_object(loader &l, const Value &v, size_t index)
{
    if (!v.IsObject())
        return l.fail_object(std::string("#").append(std::to_string(index)),
                             "must be a JSON object");
    const Value *name = nullptr, *oid = nullptr, *type = nullptr, *value = nullptr;
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
        if (m->name.GetStringLength() == 4 && is_key(m->name.GetString(), "name"))
            name = &m->value;
    }
    if (!name || !name->IsString())
        return l.fail_object(std::string("#").append(std::to_string(index)), "missing 'name'");
    const char *label = name->GetString();

    mib_object o{};
    o.description = o.label = o.format = NONE;
    o.parent = o.end = NONE;
    uint32_t flags = 0x80000000u, secure = 0;
    int handler = -1;
    const Value *format = nullptr;
    std::string why;
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
        const char *key = m->name.GetString();
        const Value &x = m->value;
        bool ok = true;
        switch (key_of(m->name)) {
        case K_NAME:
            break;
        case K_OID:
            oid = &x;
            break;
        case K_TYPE:
            type = &x;
            break;
        case K_VALUE:
            value = &x;
            break;
        case K_FLAGS:
            ok = parse_flags(x, &flags, why);
            break;
        case K_FORMAT:
            format = &x;
            ok = x.IsString() || (why = "format must be a string", false);
            break;
        case K_DESCRIPTION:
        case K_LABEL:
            if (!x.IsString())
                return l.fail_object(label, std::string(key) + " must be a string");
            (key[0] == 'd' ? o.description : o.label) =
                l.add_string(x.GetString(), x.GetStringLength());
            break;
        case K_HANDLER:
            ok = x.IsBool() || (why = "handler must be true or false", false);
            handler = ok && x.GetBool();
            break;
        case K_SECURE_LEVEL:
            ok = (x.IsUint() && x.GetUint() < 16) || (why = "secure_level must be 0 to 15", false);
            secure = ok ? x.GetUint() : 0;
            break;
        case K_MAXLEN:
        case K_GROWS_BY:
            ok = x.IsUint() || (why = std::string(key) + " must be a number", false);
            (key[0] == 'm' ? o.maxlen : o.grows_by) = ok ? x.GetUint() : 0;
            break;
        case K_READ_ERROR:
            ok = parse_errno(x, &o.read_error, why);
            break;
        case K_WRITE_ERROR:
            ok = parse_errno(x, &o.write_error, why);
            break;
        case K_HANDLER_ERROR:
            ok = parse_errno(x, &o.handler_error, why);
            break;
        case K_UNKNOWN:
            return l.fail_object(label, std::string("unknown key '") + key + "'");
        }
        if (!ok)
            return l.fail_object(label, why);
    }

    if (!oid || !oid->IsArray() || oid->Empty())
        return l.fail_object(label, "missing 'oid'");
    if (oid->Size() > IMAGE_MAXOID)
        return l.fail_object(label,
                             "an OID has at most " + std::to_string(IMAGE_MAXOID) + " components");
    o.oid = uint32_t(l.d.oids.size());
    o.oid_len = uint16_t(oid->Size());
    for (const Value &c : oid->GetArray()) {
        if (!c.IsInt())
            return l.fail_object(label, "OID components must be integers");
        l.d.oids.push_back(c.GetInt());
    }
    // Up to the first NUL, as the name is used from here on.
    const char *label_end = label + std::strlen(label);
    size_t components = 1 + size_t(std::count(label, label_end, '.'));
    if (components != o.oid_len)
        return l.fail_object(label, "the name has " + std::to_string(components) +
                                        " components and the OID " + std::to_string(o.oid_len));

    if (!type)
        return l.fail_object(label, "missing 'type'");
    uint32_t t;
    if (!parse_type(*type, &t, why))
        return l.fail_object(label, why);
    o.kind = flags | secure << 20 | t;
    o.handler = uint16_t(handler >= 0 ? handler : t != 1);
    o.name = l.add_string(name->GetString(), name->GetStringLength());
    const char *dot = std::strrchr(label, '.');
    o.last = o.name + uint32_t(dot ? dot - label + 1 : 0);
    o.format = format ? l.add_string(format->GetString(), format->GetStringLength())
                      : l.add_string(image_types[t].format, std::strlen(image_types[t].format));

    o.value = uint32_t(l.d.values.size());
    if (value && !encode_value(*value, t, l.d.values, why))
        return l.fail_object(label, "bad value: " + why);
    o.value_len = uint32_t(l.d.values.size() - o.value);
    if (o.maxlen && t == 3 && o.value_len > o.maxlen)
        return l.fail_object(label, "the value is longer than maxlen");
    l.d.objects.push_back(o);
    return true;
}

/* Loads the member KEY of the image's top level other than "objects". */
bool load_top_member(loader &l, const char *key, const Value &x)
{
    if (!std::strcmp(key, "securelevel")) {
        if (!x.IsInt())
            return l.fail("securelevel must be an integer");
        l.d.securelevel = x.GetInt();
    } else if (!std::strcmp(key, "modules")) {
        if (!x.IsArray())
            return l.fail("modules must be an array of names");
        for (const Value &n : x.GetArray()) {
            if (!n.IsString())
                return l.fail("modules must be an array of names");
            l.d.modules.push_back(l.add_string(n.GetString(), n.GetStringLength()));
        }
    } else if (!std::strcmp(key, "jails")) {
        if (!x.IsArray())
            return l.fail("jails must be an array");
        for (const Value &j : x.GetArray()) {
            mib_jail jail{NONE, 0, 0};
            if (!j.IsObject())
                return l.fail("a jail must be a JSON object");
            for (auto f = j.MemberBegin(); f != j.MemberEnd(); ++f) {
                const char *k = f->name.GetString();
                const Value &jv = f->value;
                if (!std::strcmp(k, "name")) {
                    if (!jv.IsString())
                        return l.fail("a jail's name must be a string");
                    jail.name = l.add_string(jv.GetString(), jv.GetStringLength());
                } else if (!std::strcmp(k, "jid")) {
                    if (!jv.IsInt() || jv.GetInt() <= 0)
                        return l.fail("a jail's jid must be an integer above 0");
                    jail.jid = jv.GetInt();
                } else if (!std::strcmp(k, "vnet")) {
                    if (!jv.IsBool())
                        return l.fail("a jail's vnet must be true or false");
                    jail.vnet = jv.GetBool();
                } else {
                    return l.fail(std::string("jail: unknown key '") + k + "'");
                }
            }
            if (jail.name == NONE || jail.jid <= 0)
                return l.fail("a jail needs a name and a jid");
            for (const mib_jail &o : l.d.jails) {
                if (o.jid == jail.jid ||
                    !std::strcmp(l.d.strings.data() + o.name, l.d.strings.data() + jail.name))
                    return l.fail("duplicate jail '" + std::string(l.d.strings.data() + jail.name) +
                                  "'");
            }
            l.d.jails.push_back(jail);
        }
    } else {
        return l.fail(std::string("unknown key '") + key + "'");
    }
    return true;
}

} // namespace image_loading

namespace
{

bool load_top(loader &l, const Value &doc)
{
    if (!doc.IsObject())
        return l.fail("the image must be a JSON object");
    const Value *objects = nullptr;
    for (auto m = doc.MemberBegin(); m != doc.MemberEnd(); ++m) {
        if (!std::strcmp(m->name.GetString(), "objects"))
            objects = &m->value;
        else if (!load_top_member(l, m->name.GetString(), m->value))
            return false;
    }
    if (!objects || !objects->IsArray())
        return l.fail("missing 'objects' (an array)");
    l.d.objects.reserve(objects->Size());
    size_t i = 0;
    for (const Value &o : objects->GetArray()) {
        if (!load_object(l, o, i++))
            return false;
    }
    return true;
}

/* Adds the inner nodes that objects imply but the image leaves out; run
 * on indexed objects, whose parent is then the nearest listed ancestor. */
void add_missing_parents(loader &l)
{
    image_data &d = l.d;
    std::set<std::vector<int32_t>> made;
    size_t n = d.objects.size();
    for (size_t i = 0; i < n; i++) {
        const mib_object o = d.objects[i];
        size_t have = o.parent == NONE ? 0 : d.objects[o.parent].oid_len;
        for (size_t depth = have + 1; depth < o.oid_len; depth++) {
            std::vector<int32_t> oid(d.oids.begin() + o.oid, d.oids.begin() + o.oid + depth);
            if (!made.insert(oid).second)
                continue;
            // The node takes its name from the leading components of the
            // first object below it; check_tree catches a disagreeing one.
            const char *name = d.strings.data() + o.name, *p = name;
            for (size_t c = 0; c < depth; c++)
                p = std::strchr(p, '.') + 1;
            std::string nname(name, size_t(p - 1 - name));
            mib_object node{};
            node.description = node.label = NONE;
            node.oid = uint32_t(d.oids.size());
            node.oid_len = uint16_t(depth);
            d.oids.insert(d.oids.end(), oid.begin(), oid.end());
            node.kind = 0x80000000u | 1;
            node.name = l.add_string(nname.data(), nname.size());
            size_t dot = nname.rfind('.');
            node.last = node.name + uint32_t(dot == std::string::npos ? 0 : dot + 1);
            node.format = l.add_string("N", 1);
            node.value = uint32_t(d.values.size());
            d.objects.push_back(node);
        }
    }
}

/* Checks the sorted objects: unique OIDs and names (REPEATED is the first
 * object whose name an earlier one has, as image_index found it), names
 * that extend their parent's, parents that are nodes without handlers. */
bool check_tree(loader &l, uint32_t repeated)
{
    const image_view &v = l.d.view;
    for (uint32_t i = 0; i < v.count; i++) {
        const mib_object &o = v.objects[i];
        std::string_view name = obj_name(v, i);
        if (i &&
            oid_compare(obj_oid(v, i - 1), v.objects[i - 1].oid_len, obj_oid(v, i), o.oid_len) == 0)
            return l.fail_object(std::string(name), "duplicate OID " +
                                                        dotted(obj_oid(v, i), o.oid_len) +
                                                        " (also '" + obj_name(v, i - 1) + "')");
        if (i == repeated)
            return l.fail_object(std::string(name), "duplicate name");
        if (o.parent == NONE)
            continue;
        const mib_object &p = v.objects[o.parent];
        std::string_view pname = obj_name(v, o.parent);
        bool extends = name.size() > pname.size() && name.compare(0, pname.size(), pname) == 0 &&
                       name[pname.size()] == '.';
        if (extends && (p.kind & 0xf) == 1 && !p.handler)
            continue;
        std::string quoted = "'";
        quoted += pname;
        quoted += "'";
        return l.fail_object(std::string(name),
                             !extends ? "the name does not extend its parent's, " + quoted
                             : (p.kind & 0xf) != 1 ? "its parent " + quoted + " is not a node"
                                                   : "its parent " + quoted + " has a handler");
    }
    return true;
}

} // namespace

int errno_from_name(const char *name)
{
    for (const errno_name &e : errno_names) {
        if (std::strcmp(e.name, name) == 0)
            return e.code;
    }
    return 0;
}

namespace
{

/* Reads the whole of the open file FD of SIZE bytes into BUF. Returns 0 or
 * an errno. */
int read_fd(int fd, char *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t r = read(fd, buf + got, size - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r < 0 ? errno : EIO;
        got += size_t(r);
    }
    return 0;
}

/* Opens PATH for reading and sets SIZE to its length; a directory is
 * EISDIR. Returns the descriptor, or -1 with *ERR set to an errno. */
int open_whole(const char *path, size_t &size, int *err)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        return -1;
    }
    size = size_t(st.st_size);
    return fd;
}

/* Reads the whole file PATH into TEXT, terminated by a NUL, and sets SIZE.
 * Returns 0 or an errno. */
int read_whole(const char *path, big_buffer &text, size_t &size)
{
    int e = 0;
    int fd = open_whole(path, size, &e);
    if (fd < 0)
        return e;
    e = text.allocate(size + 1) ? read_fd(fd, text.data(), size) : ENOMEM;
    if (e == 0)
        text.data()[size] = '\0';
    close(fd);
    return e;
}

/* Reads the whole file PATH into TEXT. Returns 0 or an errno. */
int read_whole(const char *path, std::string &text)
{
    int e = 0;
    size_t size = 0;
    int fd = open_whole(path, size, &e);
    if (fd < 0)
        return e;
    text.resize(size);
    e = read_fd(fd, text.data(), size);
    close(fd);
    return e;
}

/* Parses TEXT in place into DOC with the recursive parser, a third
 * cheaper than the iterative one. Returns the parser's result: an error
 * when the text has one or nests too deep for it. */
rapidjson::ParseResult parse_recursive(rapidjson::Document &doc, char *text)
{
    rapidjson::ParseResult result;
    auto events = [&](rapidjson::Document &d) {
        rapidjson::InsituStringStream in(text);
        rapidjson::Reader reader;
        nesting_guard guard{d};
        result = reader.Parse<rapidjson::kParseInsituFlag>(in, guard);
        return !result.IsError();
    };
    doc.Populate(events);
    return result;
}

} // namespace

namespace image_loading
{

/* Reserves the arenas from the SIZE of the image's text (an upper bound
 * for the strings and the OIDs, about what the values take) so that they
 * are not copied as they grow. */
void reserve_arenas(image_data &out, size_t size)
{
    if (size < 65536)
        return;
    out.strings.reserve(size / 2);
    out.values.reserve(size / 4);
    out.oids.reserve(size / 16);
}

/* Indexes the loaded objects, adds the parents they imply and checks the
 * tree. */
bool finish(loader &l)
{
    uint32_t repeated = image_index(l.d);
    size_t before = l.d.objects.size();
    add_missing_parents(l);
    if (l.d.objects.size() != before)
        repeated = image_index(l.d);
    return check_tree(l, repeated);
}

} // namespace image_loading

namespace
{

/* Loads the SIZE bytes of TEXT (followed by a NUL) as one document,
 * parsed in place: the strings stay where they are instead of being
 * copied, and TEXT is clobbered. The line and column of a syntax error are
 * counted in ORIGINAL, or in the file read again. Strings are bytes to a
 * kernel: they are not checked as UTF-8. */
bool load_in_place(const char *path, char *text, size_t size, const std::string *original,
                   image_data &out, std::string &err)
{
    out = image_data{};
    // The document takes up to twice the memory of its text; one mapping
    // sized from the text holds all of it (more is taken in chunks).
    big_buffer pool_memory;
    std::optional<rapidjson::MemoryPoolAllocator<>> pool;
    if (size >= 65536 && pool_memory.allocate(2 * size))
        pool.emplace(pool_memory.data(), pool_memory.capacity(), size_t(1) << 20);
    else
        pool.emplace();
    std::string again, retry;
    rapidjson::Document doc(&*pool);
    rapidjson::ParseResult fast = parse_recursive(doc, text);
    if (fast.IsError()) {
        // Iterative parsing of an intact copy: a deeply nested document
        // cannot exhaust the stack, and a syntax error is reported as
        // this parser sees it.
        if (!original && read_whole(path, again) == 0)
            original = &again;
        if (original) {
            retry = *original;
            doc.ParseInsitu<rapidjson::kParseIterativeFlag>(retry.data());
        }
    }
    if (fast.IsError() && (!original || doc.HasParseError())) {
        size_t off = original ? doc.GetErrorOffset() : 0, line = 1, col = 1;
        for (size_t i = 0; original && i < off && i < original->size(); i++) {
            col++;
            if ((*original)[i] == '\n') {
                line++;
                col = 1;
            }
        }
        err = std::string(path) + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " +
              parse_errors[original ? doc.GetParseError() : fast.Code()];
        return false;
    }
    reserve_arenas(out, size);
    loader l{path, out, err};
    return load_top(l, doc) && finish(l);
}

} // namespace

size_t image_load_chunk = size_t(256) << 10;
size_t image_load_parallel = size_t(4) << 20;

bool image_load_document(const char *path, const std::string &text, image_data &out,
                         std::string &err)
{
    std::string copy = text;
    return load_in_place(path, copy.data(), copy.size(), &text, out, err);
}

bool image_load_text(const char *path, const std::string &text, image_data &out, std::string &err)
{
    std::unique_ptr<char[]> copy(new char[text.size() + 1 + text_padding]());
    std::memcpy(copy.get(), text.data(), text.size());
    if (load_streaming_text(path, copy.get(), text.size(), out))
        return true;
    return image_load_document(path, text, out, err);
}

bool image_load_file(const char *path, image_data &out, std::string &err)
{
    size_t size = 0;
    int e = 0;
    int fd = open_whole(path, size, &e);
    if (fd >= 0) {
        bool loaded =
            load_streaming_file(path, fd, size, image_load_chunk, image_load_parallel, out);
        close(fd);
        if (loaded)
            return true;
    }
    // The image has an error, or a shape that only the whole-document
    // loader takes: read it whole and load it that way.
    big_buffer text;
    if (e == 0)
        e = read_whole(path, text, size);
    if (e) {
        out = image_data{};
        err = std::string(path) + ": " + std::strerror(e);
        return false;
    }
    return load_in_place(path, text.data(), size, nullptr, out, err);
}

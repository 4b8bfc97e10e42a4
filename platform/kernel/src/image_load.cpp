/*
 * The MIB image loader. RapidJSON parses the text into a document (fast, and
 * it reports the offset of a syntax error), then one
 * pass turns every JSON object into a mib_object with its strings and value
 * appended to the image's arenas. The tree checks run on the sorted array:
 * duplicates are neighbours there and a parent always precedes its children.
 */
#include "image_load.h"

#include <cerrno>
#include <set>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/error/error.h>

#include "values.h"

namespace
{

using rapidjson::Value;

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

/* The state of one load: the arenas being filled and the first error. */
struct loader {
    const char *path;
    image_data &d;
    std::string &err;

    bool fail(const std::string &what)
    {
        err = std::string(path) + ": " + what;
        return false;
    }
    bool fail_object(const std::string &name, const std::string &what)
    {
        return fail("object '" + name + "': " + what);
    }
    uint32_t add_string(const char *s, size_t len)
    {
        uint32_t off = uint32_t(d.strings.size());
        d.strings.append(s, len);
        d.strings.push_back('\0');
        return off;
    }
};

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
    *flags = 0;
    for (const Value &f : v.GetArray()) {
        const flag_name *hit = nullptr;
        for (const flag_name &n : image_flags) {
            if (f.IsString() && std::strcmp(f.GetString(), n.name) == 0)
                hit = &n;
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
        if (v.IsString() && std::strcmp(v.GetString(), image_types[t].name) == 0) {
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

/* Turns one JSON object of "objects" into a mib_object. */
bool load_object(loader &l, const Value &v, size_t index)
{
    std::string label = "#" + std::to_string(index);
    if (!v.IsObject())
        return l.fail_object(label, "must be a JSON object");
    const Value *name = nullptr, *oid = nullptr, *type = nullptr, *value = nullptr;
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
        if (std::strcmp(m->name.GetString(), "name") == 0)
            name = &m->value;
    }
    if (!name || !name->IsString())
        return l.fail_object(label, "missing 'name'");
    label = name->GetString();

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
        if (!std::strcmp(key, "name")) {
        } else if (!std::strcmp(key, "oid")) {
            oid = &x;
        } else if (!std::strcmp(key, "type")) {
            type = &x;
        } else if (!std::strcmp(key, "value")) {
            value = &x;
        } else if (!std::strcmp(key, "flags")) {
            ok = parse_flags(x, &flags, why);
        } else if (!std::strcmp(key, "format")) {
            format = &x;
            ok = x.IsString() || (why = "format must be a string", false);
        } else if (!std::strcmp(key, "description") || !std::strcmp(key, "label")) {
            if (!x.IsString())
                return l.fail_object(label, std::string(key) + " must be a string");
            uint32_t off = l.add_string(x.GetString(), x.GetStringLength());
            (key[0] == 'd' ? o.description : o.label) = off;
        } else if (!std::strcmp(key, "handler")) {
            ok = x.IsBool() || (why = "handler must be true or false", false);
            handler = ok && x.GetBool();
        } else if (!std::strcmp(key, "secure_level")) {
            ok = (x.IsUint() && x.GetUint() < 16) || (why = "secure_level must be 0 to 15", false);
            secure = ok ? x.GetUint() : 0;
        } else if (!std::strcmp(key, "maxlen") || !std::strcmp(key, "grows_by")) {
            ok = x.IsUint() || (why = std::string(key) + " must be a number", false);
            (key[0] == 'm' ? o.maxlen : o.grows_by) = ok ? x.GetUint() : 0;
        } else if (!std::strcmp(key, "read_error")) {
            ok = parse_errno(x, &o.read_error, why);
        } else if (!std::strcmp(key, "write_error")) {
            ok = parse_errno(x, &o.write_error, why);
        } else if (!std::strcmp(key, "handler_error")) {
            ok = parse_errno(x, &o.handler_error, why);
        } else {
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
    size_t components = 1;
    for (const char *p = name->GetString(); *p; p++)
        components += *p == '.';
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
    const char *dot = std::strrchr(name->GetString(), '.');
    o.last = o.name + uint32_t(dot ? dot - name->GetString() + 1 : 0);
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

bool load_top(loader &l, const Value &doc)
{
    if (!doc.IsObject())
        return l.fail("the image must be a JSON object");
    const Value *objects = nullptr;
    for (auto m = doc.MemberBegin(); m != doc.MemberEnd(); ++m) {
        const char *key = m->name.GetString();
        const Value &x = m->value;
        if (!std::strcmp(key, "objects")) {
            objects = &x;
        } else if (!std::strcmp(key, "securelevel")) {
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
                        return l.fail("duplicate jail '" +
                                      std::string(l.d.strings.data() + jail.name) + "'");
                }
                l.d.jails.push_back(jail);
            }
        } else {
            return l.fail(std::string("unknown key '") + key + "'");
        }
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

/* Checks the sorted objects: unique OIDs and names, names that extend
 * their parent's, parents that are nodes without handlers. */
bool check_tree(loader &l)
{
    const image_view &v = l.d.view;
    for (uint32_t i = 0; i < v.count; i++) {
        const mib_object &o = v.objects[i];
        std::string name = obj_name(v, i);
        if (i &&
            oid_compare(obj_oid(v, i - 1), v.objects[i - 1].oid_len, obj_oid(v, i), o.oid_len) == 0)
            return l.fail_object(name, "duplicate OID " + dotted(obj_oid(v, i), o.oid_len) +
                                           " (also '" + obj_name(v, i - 1) + "')");
        if (image_find_name(v, name) != i)
            return l.fail_object(name, "duplicate name");
        if (o.parent == NONE)
            continue;
        const mib_object &p = v.objects[o.parent];
        std::string pname = obj_name(v, o.parent);
        if (name.compare(0, pname.size(), pname) != 0 || name[pname.size()] != '.')
            return l.fail_object(name, "the name does not extend its parent's, '" + pname + "'");
        if ((p.kind & 0xf) != 1)
            return l.fail_object(name, "its parent '" + pname + "' is not a node");
        if (p.handler)
            return l.fail_object(name, "its parent '" + pname + "' has a handler");
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

bool image_load_text(const char *path, const std::string &text, image_data &out, std::string &err)
{
    out = image_data{};
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(text.data(), text.size());
    if (doc.HasParseError()) {
        size_t off = doc.GetErrorOffset(), line = 1, col = 1;
        for (size_t i = 0; i < off && i < text.size(); i++) {
            col++;
            if (text[i] == '\n') {
                line++;
                col = 1;
            }
        }
        err = std::string(path) + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " +
              parse_errors[doc.GetParseError()];
        return false;
    }
    loader l{path, out, err};
    if (!load_top(l, doc))
        return false;
    image_index(out);
    size_t before = out.objects.size();
    add_missing_parents(l);
    if (out.objects.size() != before)
        image_index(out);
    return check_tree(l);
}

bool image_load_file(const char *path, image_data &out, std::string &err)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int e = fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno;
        if (fd >= 0)
            close(fd);
        err = std::string(path) + ": " + std::strerror(e);
        return false;
    }
    std::string text;
    text.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < text.size()) {
        ssize_t r = read(fd, text.data() + got, text.size() - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            int e = r < 0 ? errno : EIO;
            close(fd);
            err = std::string(path) + ": " + std::strerror(e);
            return false;
        }
        got += size_t(r);
    }
    close(fd);
    return image_load_text(path, text, out, err);
}

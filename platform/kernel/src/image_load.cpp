/*
 * The MIB image loader. One SAX walk with RapidJSON's reader goes through
 * the image's text, parsed in place. Each element of "objects" and each
 * other top-level member is gathered into a small document of its own,
 * turned into mib_objects (or modules, jails, the securelevel) and dropped,
 * so a load holds one object's document at a time besides the arenas it
 * fills. A snapshot, the JSON of a walk, has the list "tree" in place of
 * "objects": its instances nest, and each is gathered up to the instances
 * below it and loaded like an element, its keys standing for an element's.
 * The tree checks run on the sorted array afterwards: duplicates are
 * neighbours there and a parent always precedes its children.
 *
 * The same walk finds one element again for a rewrite of its value: where
 * its "value" member is in the text, and its OID.
 */
#include "image_load.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include "values.h"

namespace
{

using rapidjson::SizeType;
using Value = json_value;

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

/* Is the JSON string S the text T? */
inline bool same(const Value &s, std::string_view t)
{
    return std::string_view(s.GetString(), s.GetStringLength()) == t;
}

/* The keys of an element of "objects", the usual ones first. */
constexpr std::string_view object_keys[] = {
    "oid",    "name",     "type",        "format",      "flags",
    "value",  "handler",  "description", "label",       "secure_level",
    "maxlen", "grows_by", "read_error",  "write_error", "handler_error"};
constexpr size_t KEYS = std::size(object_keys), IGNORED = KEYS + 1;

/* The index of the key K in object_keys. */
consteval size_t key(std::string_view k)
{
    return size_t(std::find(object_keys, object_keys + KEYS, k) - object_keys);
}

/* The keys of a snapshot's instance and the keys of an element they stand
 * for. "flags" has the names of the bits "flags-raw" has: it stands for
 * nothing. */
constexpr std::pair<std::string_view, size_t> snapshot_keys[] = {
    {"OID", key("oid")},       {"name", key("name")},       {"type", key("type")},
    {"format", key("format")}, {"flags-raw", key("flags")}, {"flags", IGNORED},
    {"value", key("value")},   {"handler", key("handler")}, {"description", key("description")},
    {"label", key("label")}};

/* The index in object_keys of the member named NAME of an element, or of
 * a snapshot's instance; KEYS when it is unknown. */
size_t key_index(std::string_view name, bool snapshot)
{
    if (!snapshot)
        return size_t(std::find(object_keys, object_keys + KEYS, name) - object_keys);
    for (auto [k, index] : snapshot_keys) {
        if (k == name)
            return index;
    }
    return KEYS;
}

std::string dotted(const int32_t *oid, size_t len)
{
    std::string s;
    for (size_t i = 0; i < len; i++) {
        // Appended piece by piece: gcc 12 at -O3 takes "." + a temporary
        // string for an overlapping copy and warns.
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
        return !(*flags & 0xf) || (why = "flags must leave the type bits (0xf) clear", false);
    }
    if (!v.IsArray()) {
        why = "flags must be an array of names or a number";
        return false;
    }
    *flags = 0;
    for (const Value &f : v.GetArray()) {
        const flag_name *n = std::end(image_flags);
        if (f.IsString())
            n = std::find_if(image_flags, n, [&](const flag_name &n) {
                return f.GetString()[0] == n.name[0] && same(f, n.name);
            });
        if (n == std::end(image_flags)) {
            why = std::string("unknown flag '") + (f.IsString() ? f.GetString() : "?") + "'";
            return false;
        }
        *flags |= n->bit;
    }
    return true;
}

bool parse_type(const Value &v, uint32_t *type, std::string &why)
{
    if (v.IsUint() && v.GetUint() >= 1 && v.GetUint() <= 15) {
        *type = v.GetUint();
        return true;
    }
    for (uint32_t t = 1; t < 16 && v.IsString(); t++) {
        if (v.GetString()[0] == image_types[t].name[0] && same(v, image_types[t].name)) {
            *type = t;
            return true;
        }
    }
    why = v.IsString() ? std::string("unknown type '") + v.GetString() + "'" : "invalid type";
    return false;
}

/* Parses an errno name ("EPERM"); 0 when it is none. */
int errno_from_name(const char *name)
{
    // glibc names each errno once, EOPNOTSUPP for the ENOTSUP it equals.
    if (!std::strcmp(name, "ENOTSUP"))
        return ENOTSUP;
    for (int e = 1; e < 4096; e++) {
        const char *known = strerrorname_np(e);
        if (known && !std::strcmp(known, name))
            return e;
    }
    return 0;
}

bool parse_errno(const Value &v, int16_t *code, std::string &why)
{
    int e = 0;
    if (v.IsInt() && v.GetInt() > 0 && v.GetInt() < 4096)
        e = v.GetInt();
    else if (v.IsString())
        e = errno_from_name(v.GetString());
    *code = int16_t(e);
    return e > 0 || (why = "unknown errno", false);
}

/* Appends the components of an element's OID, an array of integers. */
bool parse_oid(const Value &v, arena_vector<int32_t> &out, std::string &why)
{
    if (!v.IsArray() || v.Empty())
        return (why = "missing 'oid'", false);
    for (const Value &c : v.GetArray()) {
        if (!c.IsInt())
            return (why = "OID components must be integers", false);
        out.push_back(c.GetInt());
    }
    return true;
}

/* Appends the components of a snapshot's OID, the text "1.2.3". */
bool parse_dotted(const Value &v, arena_vector<int32_t> &out, std::string &why)
{
    const char *p = v.IsString() && v.GetStringLength() ? v.GetString() : nullptr;
    for (char *end; p && *p; p = *end ? end + 1 : end) {
        errno = 0;
        long c = std::strtol(p, &end, 10);
        if (end == p || errno || c < INT32_MIN || c > INT32_MAX || (*end && *end != '.'))
            break;
        out.push_back(int32_t(c));
    }
    return (p && !*p) || (why = "the OID must be decimal components joined by dots", false);
}

/* Appends the bytes of a snapshot's value, {"TYPE": {"format": F, "lenght":
 * N, "dump": ["7f", "0", ...]}}; a value of no bytes has no dump. */
bool parse_dump(const Value &v, image_bytes &out, std::string &why)
{
    const Value *box = v.IsObject() && v.MemberCount() == 1 ? &v.MemberBegin()->value : nullptr;
    if (!box || !box->IsObject() || !box->HasMember("lenght"))
        return (why = "a value must be a dump (a snapshot is taken with -R)", false);
    auto dump = box->FindMember("dump");
    if (dump == box->MemberEnd())
        return true;
    why = "a dump holds bytes in hexadecimal";
    if (!dump->value.IsArray())
        return false;
    for (const Value &b : dump->value.GetArray()) {
        size_t n = b.IsString() ? b.GetStringLength() : 0;
        if (n < 1 || n > 2 || std::strspn(b.GetString(), "0123456789abcdef") != n)
            return false;
        out.push_back((unsigned char)std::strtoul(b.GetString(), nullptr, 16));
    }
    return true;
}

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
    /* Appends the LEN bytes at S and their terminator, which S has. */
    uint32_t add_string(const char *s, size_t len)
    {
        uint32_t off = uint32_t(d.strings.size());
        d.strings.append(s, len + 1);
        return off;
    }
    uint32_t add_string(const Value &s) { return add_string(s.GetString(), s.GetStringLength()); }
};

/* Turns the JSON object V into a mib_object: the ELEMENTth element of
 * "objects", or a snapshot's instance when ELEMENT is NONE. */
bool load_object(loader &l, const Value &v, uint32_t element)
{
    bool snapshot = element == NONE;
    auto unnamed = [&] { return snapshot ? "?" : "#" + std::to_string(element); };
    if (!v.IsObject())
        return l.fail_object(unnamed(), "must be a JSON object");
    // Each member by its key; the first key unknown or repeated is kept
    // for its message, which needs the name.
    const Value *m[KEYS] = {};
    std::string why;
    for (auto &member : v.GetObject()) {
        const Value &n = member.name;
        size_t k = key_index(std::string_view(n.GetString(), n.GetStringLength()), snapshot);
        if (k < KEYS && !m[k])
            m[k] = &member.value;
        else if (k != IGNORED && why.empty())
            why = (k == KEYS ? "unknown key '" : "duplicate key '") + std::string(n.GetString()) +
                  "'";
    }
    const Value *name = m[key("name")], *oid = m[key("oid")], *type = m[key("type")],
                *format = m[key("format")], *flags = m[key("flags")], *handler = m[key("handler")],
                *secure = m[key("secure_level")], *value = m[key("value")];
    if (!name || !name->IsString())
        return l.fail_object(unnamed(), "missing 'name'");
    const char *label = name->GetString();
    if (std::strlen(label) != name->GetStringLength())
        return l.fail_object(label, "the name holds a NUL character");
    if (!why.empty())
        return l.fail_object(label, why);

    mib_object o{};
    o.description = o.label = o.parent = o.end = NONE;
    o.element = element;
    uint32_t bits = 0x80000000u, t;
    for (auto [k, text] :
         {std::pair(key("description"), &o.description), {key("label"), &o.label}}) {
        if (m[k] && !m[k]->IsString())
            return l.fail_object(label, std::string(object_keys[k]) + " must be a string");
        // A snapshot shows an absent label as "".
        if (m[k] && !(snapshot && k == key("label") && m[k]->GetStringLength() == 0))
            *text = l.add_string(*m[k]);
    }
    for (auto [k, size] : {std::pair(key("maxlen"), &o.maxlen), {key("grows_by"), &o.grows_by}}) {
        if (m[k] && !m[k]->IsUint())
            return l.fail_object(label, std::string(object_keys[k]) + " must be a number");
        *size = m[k] ? m[k]->GetUint() : 0;
    }
    for (auto [k, code] : {std::pair(key("read_error"), &o.read_error),
                           {key("write_error"), &o.write_error},
                           {key("handler_error"), &o.handler_error}}) {
        if (m[k] && !parse_errno(*m[k], code, why))
            return l.fail_object(label, why);
    }
    if (snapshot && !flags)
        return l.fail_object(label, "missing 'flags-raw' (a snapshot is taken with -g)");
    if (snapshot && !flags->IsUint())
        return l.fail_object(label, "flags-raw must be a number");
    if (flags && !parse_flags(*flags, &bits, why))
        return l.fail_object(label, why);
    if (format && !format->IsString())
        return l.fail_object(label, "format must be a string");
    if (secure && !(secure->IsUint() && secure->GetUint() < 16))
        return l.fail_object(label, "secure_level must be 0 to 15");

    if (!oid)
        return l.fail_object(label, "missing 'oid'");
    o.oid = uint32_t(l.d.oids.size());
    if (!(snapshot ? parse_dotted : parse_oid)(*oid, l.d.oids, why))
        return l.fail_object(label, why);
    if (l.d.oids.size() - o.oid > IMAGE_MAXOID)
        return l.fail_object(label,
                             "an OID has at most " + std::to_string(IMAGE_MAXOID) + " components");
    o.oid_len = uint16_t(l.d.oids.size() - o.oid);
    size_t components = 1 + size_t(std::count(label, label + name->GetStringLength(), '.'));
    if (components != o.oid_len)
        return l.fail_object(label, "the name has " + std::to_string(components) +
                                        " components and the OID " + std::to_string(o.oid_len));

    if (!type)
        return l.fail_object(label, "missing 'type'");
    if (!parse_type(*type, &t, why))
        return l.fail_object(label, why);
    o.handler = t != 1;
    if (handler && snapshot) {
        if (!handler->IsString() || (!same(*handler, "Defined") && !same(*handler, "Undefined")))
            return l.fail_object(label, "handler must be \"Defined\" or \"Undefined\"");
        o.handler = same(*handler, "Defined");
    } else if (handler) {
        if (!handler->IsBool())
            return l.fail_object(label, "handler must be true or false");
        o.handler = handler->GetBool();
    }
    o.kind = bits | (secure ? secure->GetUint() : 0) << 20 | t;
    o.name = l.add_string(*name);
    const char *dot = std::strrchr(label, '.');
    o.last = o.name + uint32_t(dot ? dot - label + 1 : 0);
    o.format = format ? l.add_string(*format)
                      : l.add_string(image_types[t].format, std::strlen(image_types[t].format));

    o.value = uint32_t(l.d.values.size());
    if (value && snapshot && !parse_dump(*value, l.d.values, why))
        return l.fail_object(label, why);
    if (value && !snapshot && !encode_value(*value, t, l.d.values, why))
        return l.fail_object(label, "bad value: " + why);
    o.value_len = uint32_t(l.d.values.size() - o.value);
    if (o.maxlen && t == 3 && o.value_len > o.maxlen)
        return l.fail_object(label, "the value is longer than maxlen");
    // A snapshot shows no value for a leaf whose value could not be read.
    if (snapshot && !value && t != 1 && o.handler)
        o.read_error = EIO;
    // A value at the top level (a /proc/sys tree has them) is read by its
    // one-component OID.
    if (o.oid_len == 1 && o.handler)
        l.d.shortest_oid = 1;
    l.d.objects.push_back(o);
    return true;
}

/* Why the member K of a jail is refused. */
std::string jail_error(const Value &k)
{
    if (same(k, "name"))
        return "a jail's name must be a string";
    if (same(k, "jid"))
        return "a jail's jid must be an integer above 0";
    if (same(k, "vnet"))
        return "a jail's vnet must be true or false";
    return std::string("jail: unknown key '") + k.GetString() + "'";
}

/* Adds the jail J, an element of the top level's "jails". */
bool load_jail(loader &l, const Value &j)
{
    if (!j.IsObject())
        return l.fail("a jail must be a JSON object");
    mib_jail jail{NONE, 0, 0};
    for (auto &[k, v] : j.GetObject()) {
        if (same(k, "name") && v.IsString())
            jail.name = l.add_string(v);
        else if (same(k, "jid") && v.IsInt() && v.GetInt() > 0)
            jail.jid = v.GetInt();
        else if (same(k, "vnet") && v.IsBool())
            jail.vnet = v.GetBool();
        else
            return l.fail(jail_error(k));
    }
    if (jail.name == NONE || jail.jid <= 0)
        return l.fail("a jail needs a name and a jid");
    const char *name = l.d.strings.data() + jail.name;
    for (const mib_jail &o : l.d.jails) {
        if (o.jid == jail.jid || !std::strcmp(l.d.strings.data() + o.name, name))
            return l.fail("duplicate jail '" + std::string(name) + "'");
    }
    l.d.jails.push_back(jail);
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
        auto name = [](const Value &n) { return n.IsString(); };
        if (!x.IsArray() || !std::all_of(x.Begin(), x.End(), name))
            return l.fail("modules must be an array of names");
        for (const Value &n : x.GetArray())
            l.d.modules.push_back(l.add_string(n));
    } else if (!std::strcmp(key, "jails")) {
        if (!x.IsArray())
            return l.fail("jails must be an array");
        for (const Value &j : x.GetArray()) {
            if (!load_jail(l, j))
                return false;
        }
    } else {
        return l.fail(std::string("unknown key '") + key + "'");
    }
    return true;
}

/* Adds the inner nodes that objects imply but the image leaves out; run
 * on indexed objects, whose parent is then the nearest listed ancestor.
 * They are sorted: the nodes an object shares with the one before it
 * were made for that one. */
void add_missing_parents(loader &l)
{
    image_data &d = l.d;
    size_t n = d.objects.size();
    for (size_t i = 0; i < n; i++) {
        const mib_object o = d.objects[i];
        size_t have = o.parent == NONE ? 0 : d.objects[o.parent].oid_len;
        if (i) {
            const mib_object &before = d.objects[i - 1];
            const int32_t *a = &d.oids[before.oid], *b = &d.oids[o.oid];
            have = std::max(
                have,
                size_t(std::mismatch(a, a + std::min(before.oid_len, o.oid_len), b).first - a));
        }
        for (size_t depth = have + 1; depth < o.oid_len; depth++) {
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
            for (size_t c = 0; c < depth; c++)
                d.oids.push_back(d.oids[o.oid + c]);
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
        std::string quoted = "'" + std::string(pname) + "'";
        return l.fail_object(std::string(name),
                             !extends ? "the name does not extend its parent's, " + quoted
                             : (p.kind & 0xf) != 1 ? "its parent " + quoted + " is not a node"
                                                   : "its parent " + quoted + " has a handler");
    }
    return true;
}

/* Reserves the arenas from the SIZE of the image's text (an upper bound
 * for the strings and the OIDs, about what the values take) so that they
 * are not copied as they grow. */
void reserve_arenas(image_data &out, size_t size)
{
    if (size < 65536)
        return;
    out.objects.reserve(size / 160);
    out.strings.reserve(size / 2);
    out.values.reserve(size / 4);
    out.oids.reserve(size / 16);
}

/* A file's text, NUL-terminated, in arena memory (huge pages when it is
 * large), where RapidJSON parses it in place. RapidJSON's SSE2 paths read
 * the 16 bytes around a string's end at once: zero bytes follow the NUL so
 * that those reads stay within the buffer. */
class text_buffer
{
  public:
    static constexpr size_t padding = 16;

    explicit text_buffer(size_t size)
        : size_(size), data_(static_cast<char *>(huge_allocate(size + 1 + padding)))
    {
        std::memset(data_ + size, 0, 1 + padding);
    }
    text_buffer(const text_buffer &) = delete;
    text_buffer &operator=(const text_buffer &) = delete;
    ~text_buffer() { huge_free(data_, size_ + 1 + padding); }
    char *data() const { return data_; }
    size_t size() const { return size_; }

    /* Gives the whole huge pages before OFFSET, text already read, back to
     * the system: a load then holds little more of the text than it reads. */
    void release_before(size_t offset)
    {
        size_t upto = offset & ~(release_unit - 1);
        if (size_ + 1 + padding < huge_mapped_from || upto <= released_)
            return;
        madvise(data_ + released_, upto - released_, MADV_DONTNEED);
        released_ = upto;
    }

  private:
    static constexpr size_t release_unit = size_t(2) << 20;
    size_t size_;
    char *data_;
    size_t released_ = 0;
};

/* The line and column (from 1) of the byte at OFFSET of TEXT. */
std::string place_of(const char *text, size_t offset)
{
    size_t line = 1 + size_t(std::count(text, text + offset, '\n'));
    const char *newline = static_cast<const char *>(memrchr(text, '\n', offset));
    size_t column = size_t(text + offset - (newline ? newline + 1 : text)) + 1;
    return std::to_string(line) + ":" + std::to_string(column);
}

/* Reads the first SIZE bytes of the file FD into BUF. Returns 0 or an
 * errno. */
int read_file(int fd, char *buf, size_t size)
{
    for (size_t got = 0; got < size;) {
        ssize_t n = pread(fd, buf + got, size - got, off_t(got));
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return n < 0 ? errno : EIO;
        got += size_t(std::max(n, ssize_t(0)));
    }
    return 0;
}

/* A text read in memory without a copy of the stream: RapidJSON reads a
 * plain string stream through local copies, which would leave the
 * position the walk asks for behind. */
struct told_stream : rapidjson::StringStream {
    using rapidjson::StringStream::StringStream;
};

/*
 * The walk over an image's events from RapidJSON's reader. Outside the
 * values it gathers, it follows the containers that hold them: the top
 * level, "objects", and in a snapshot "tree", its instances, their
 * "children" and the lists "object" in those. Every element, every
 * instance up to its "children" and every other top-level member is
 * gathered into a small document and handed over when it is complete.
 *
 * A walk either loads everything (TARGET is NONE) or gathers only the
 * element TARGET of "objects", keeps where its value is in the text, and
 * stops there. After a schema error, the walk goes on without loading, so
 * that a syntax error further on is still the one reported.
 */
template <typename Stream> class image_walk
{
  public:
    /* TEXT, when given, is the buffer IN parses in place. */
    image_walk(loader &l, Stream &in, uint32_t target, text_buffer *text = nullptr)
        : l_(l), in_(in), text_(text), target_(target), pool_(pool_memory_, sizeof pool_memory_),
          doc_(&pool_, 1024, &pool_)
    {
    }

    /* Walks the SIZE bytes of the text. Returns false on a syntax error,
     * with its reason and offset in SYNTAX_ERROR and ERROR_AT. */
    bool run(size_t size)
    {
        constexpr unsigned flags =
            rapidjson::kParseStopWhenDoneFlag |
            (std::is_same_v<Stream, rapidjson::InsituStringStream> ? rapidjson::kParseInsituFlag
                                                                   : 0);
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, json_allocator> reader;
        rapidjson::ParseResult r = reader.Parse<flags>(in_, *this);
        if (r.IsError() && found)
            return true;
        error_at = r.Offset();
        if (depth_ > max_depth) {
            syntax_error = "nested too deep";
            error_at--; // at the bracket that opened one level too many
        } else if (r.IsError()) {
            // A NUL byte is no end of the text.
            bool nul = r.Code() == rapidjson::kParseErrorDocumentEmpty && error_at < size;
            syntax_error = parse_errors[nul ? rapidjson::kParseErrorValueInvalid : r.Code()];
        } else {
            rapidjson::SkipWhitespace(in_);
            error_at = in_.Tell();
            if (error_at != size)
                syntax_error = parse_errors[rapidjson::kParseErrorDocumentRootNotSingular];
        }
        return !syntax_error;
    }

    bool Null() { return scalar() || (doc_.Null() && ended()); }
    bool Bool(bool b) { return scalar() || (doc_.Bool(b) && ended()); }
    bool Int(int i) { return scalar() || (doc_.Int(i) && ended()); }
    bool Uint(unsigned u) { return scalar() || (doc_.Uint(u) && ended()); }
    bool Int64(int64_t i) { return scalar() || (doc_.Int64(i) && ended()); }
    bool Uint64(uint64_t u) { return scalar() || (doc_.Uint64(u) && ended()); }
    bool Double(double x) { return scalar() || (doc_.Double(x) && ended()); }
    bool RawNumber(const char *, SizeType, bool) { return false; } // not asked for
    bool String(const char *s, SizeType n, bool copy)
    {
        return scalar() || (doc_.String(s, n, copy) && ended());
    }
    bool StartObject() { return open(false) && (!gathering() || doc_.StartObject()); }
    bool StartArray() { return open(true) && (!gathering() || doc_.StartArray()); }
    bool EndObject(SizeType n) { return close() || (doc_.EndObject(n) && ended()); }
    bool EndArray(SizeType n) { return close() || (doc_.EndArray(n) && ended()); }
    bool Key(const char *s, SizeType n, bool copy)
    {
        std::string_view key(s, n);
        if (gathering() && depth_ == gather_at_ + 1) {
            // An instance's own members come before the instances below it.
            if (frames_[gather_at_] == instance && key == "children")
                return doc_.EndObject(members_) && gathered();
            members_++;
            if (target_ != NONE && (in_value_ = key == "value"))
                place.begin = in_.Tell();
        }
        if (gathering())
            return doc_.Key(s, n, copy);
        if (failed)
            return true;
        key_ = key;
        if (frames_.size() == 1 && std::find(keys.begin(), keys.end(), key_) != keys.end())
            failed = !l_.fail("duplicate key '" + key_ + "'");
        else if (frames_.size() == 1)
            keys.push_back(key_);
        else if (frames_.back() == instance)
            failed = !l_.fail_object(last_loaded(), "'children' must be its last member");
        return true;
    }

    /* What the walk found: a schema error, the element looked for, the
     * list of elements or a snapshot's "tree", the keys of the top level. */
    bool failed = false, found = false, has_objects = false, snapshot = false;
    const char *syntax_error = nullptr;
    size_t error_at = 0;
    std::vector<std::string> keys;
    image_value_place place;

  private:
    /* RapidJSON's reader recurses once per level: deeper texts are refused
     * before they can exhaust the stack. */
    static constexpr unsigned max_depth = 256;

    /* What an open container outside the gathered values is. */
    enum frame : char {
        top,       /* the image's top level */
        elements,  /* "objects" */
        wrapper,   /* an object at the top level, perhaps the container -r puts around a snapshot */
        instances, /* a snapshot's "tree", or a list "object" of children */
        instance,  /* a snapshot's instance */
        children,  /* the value of an instance's "children" */
        other      /* any other container */
    };

    /* The document of a gathered value keeps the stack it is built on
     * in its pool too, which is emptied after each value: gathering
     * allocates nothing then. */
    using document = rapidjson::GenericDocument<rapidjson::UTF8<>, json_pool, json_pool>;

    bool gathering() const { return gather_at_ != NONE; }

    /* A value starts where nothing is being gathered: decides from where
     * it is what it is, and whether to gather it. Returns what it is as a
     * container. */
    frame start(bool container, bool array)
    {
        bool object = container && !array;
        if (failed)
            return other;
        if (frames_.empty()) {
            if (!object)
                failed = !l_.fail("the image must be a JSON object");
            return top;
        }
        switch (frames_.back()) {
        case top:
            if (array && (key_ == "objects" || key_ == "tree")) {
                has_objects = true;
                snapshot = snapshot || key_ == "tree";
                return key_ == "tree" ? instances : elements;
            }
            if (object && key_ != "objects")
                return wrapper;
            if (target_ == NONE)
                gather_at_ = depth_;
            return other;
        case wrapper:
            if (array && key_ == "tree") {
                has_objects = snapshot = true;
                return instances;
            }
            failed = !not_wrapped();
            return other;
        case elements:
            element_ = next_element_++;
            if (target_ == NONE || element_ == target_)
                gather_at_ = depth_;
            return other;
        case instances:
            if (object) {
                gather_at_ = depth_;
                members_ = 0;
                return instance;
            }
            failed = !l_.fail("a snapshot's tree holds objects");
            return other;
        case instance:
            if (object)
                return children;
            break;
        case children:
            if (array && key_ == "object")
                return instances;
            break;
        case other:
            return other;
        }
        failed = !l_.fail_object(last_loaded(), "children must hold a list 'object'");
        return other;
    }

    /* A top-level object is not the container of a snapshot: loads it as
     * the member it is, which refuses it. */
    bool not_wrapped()
    {
        return load_top_member(l_, keys.back().c_str(), Value(rapidjson::kObjectType));
    }

    /* The name of the object loaded last. */
    std::string last_loaded() const
    {
        return l_.d.objects.empty() ? "?" : l_.d.strings.data() + l_.d.objects.back().name;
    }

    /* A scalar starts: true when it is not gathered, which is all then. */
    bool scalar()
    {
        if (!gathering())
            start(false, false);
        return !gathering();
    }
    bool open(bool array)
    {
        if (depth_ == max_depth) {
            depth_++; // refused: the walk stops at this bracket
            return false;
        }
        if (!gathering())
            frames_.push_back(start(true, array));
        depth_++;
        return true;
    }
    /* A container ends: true when it was not gathered, which is all then. */
    bool close()
    {
        if (frames_.size() == depth_--) {
            if (frames_.back() == wrapper && !snapshot && !failed)
                failed = !not_wrapped();
            frames_.pop_back();
        }
        return !gathering();
    }

    /* A value in what is being gathered has ended. */
    bool ended()
    {
        if (in_value_ && depth_ == gather_at_ + 1) {
            place.end = in_.Tell();
            place.has_value = true;
            in_value_ = false;
        }
        return depth_ != gather_at_ || gathered();
    }

    /* The value being gathered is complete: loads it, or keeps the
     * element looked for and stops the walk. */
    bool gathered()
    {
        frame in = frames_[gather_at_ - 1];
        gather_at_ = NONE;
        auto whole = [](document &) { return true; };
        doc_.Populate(whole);
        if (target_ != NONE) {
            found = true;
            if (!place.has_value)
                place.begin = place.end = in_.Tell() - 1;
            const Value *oid = doc_.IsObject() && doc_.HasMember("oid") ? &doc_["oid"] : nullptr;
            for (SizeType k = 0; oid && oid->IsArray() && k < oid->Size(); k++)
                place.oid.push_back((*oid)[k].IsInt() ? (*oid)[k].GetInt() : -1);
            return false;
        }
        if (in == elements || in == instances)
            failed = !load_object(l_, doc_, in == elements ? element_ : NONE);
        else if (key_ == "objects")
            failed = !l_.fail("missing 'objects' (an array)");
        else
            failed = !load_top_member(l_, key_.c_str(), doc_);
        if (text_)
            text_->release_before(in_.Tell());
        doc_.SetNull();
        pool_.Clear();
        return true;
    }

    loader &l_;
    Stream &in_;
    text_buffer *text_;
    uint32_t target_;
    unsigned depth_ = 0;        /* arrays and objects open */
    uint32_t gather_at_ = NONE; /* the depth of the value being gathered */
    uint32_t element_ = 0, next_element_ = 0, members_ = 0;
    bool in_value_ = false;     /* in the "value" of the element looked for */
    std::vector<frame> frames_; /* the containers open outside what is gathered */
    std::string key_;           /* the last key outside what is gathered */
    char pool_memory_[16384];
    json_pool pool_;
    document doc_;
};

/* Loads TEXT into L's image, parsed in place: TEXT is clobbered. ORIGINAL or the file FD has the
 * text for the place of a syntax error. */
bool load(loader &l, text_buffer &text, const char *original, int fd)
{
    reserve_arenas(l.d, text.size());
    rapidjson::InsituStringStream in(text.data());
    image_walk w(l, in, NONE, &text);
    if (!w.run(text.size())) {
        // Parsing in place clobbered the text: without the original, the
        // file is read again (as far as it reads) to count lines in.
        if (!original)
            read_file(fd, text.data(), w.error_at);
        l.err = std::string(l.path) + ":" +
                place_of(original ? original : text.data(), w.error_at) + ": " + w.syntax_error;
        return false;
    }
    if (w.failed)
        return false;
    if (!w.has_objects)
        return l.fail("missing 'objects' (an array)");
    if (w.snapshot && w.keys.size() != 1)
        return l.fail("a snapshot has no key but 'tree'");
    // The walk a snapshot was taken with needed oidlens.
    if (w.snapshot)
        l.d.modules.push_back(l.add_string("oidlens", 7));
    // Indexing sorts the objects; the parents they imply are indexed again.
    uint32_t repeated = image_index(l.d);
    size_t listed = l.d.objects.size();
    add_missing_parents(l);
    if (l.d.objects.size() != listed)
        repeated = image_index(l.d);
    return check_tree(l, repeated);
}

/* Runs a load, turning a failed allocation into its message. */
template <typename F> bool guarded(const char *path, image_data &out, std::string &err, F load)
{
    try {
        out = image_data{};
        if (load())
            return true;
    } catch (const std::bad_alloc &) {
        err = std::string(path) + ": " + std::strerror(ENOMEM);
    }
    out = image_data{};
    return false;
}

/* An open file, closed when it goes. */
struct file {
    int fd;
    ~file() { fd < 0 || close(fd); }
};

} // namespace

bool image_load_text(const char *path, const std::string &text, image_data &out, std::string &err)
{
    return guarded(path, out, err, [&] {
        loader l{path, out, err};
        text_buffer copy(text.size());
        std::memcpy(copy.data(), text.data(), text.size());
        return load(l, copy, text.data(), -1);
    });
}

bool image_load_file(const char *path, image_data &out, std::string &err)
{
    return guarded(path, out, err, [&] {
        loader l{path, out, err};
        // Without waiting for a writer on a FIFO, which is refused then;
        // O_NONBLOCK changes nothing for a regular file.
        file f{open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
        struct stat st;
        if (f.fd < 0 || fstat(f.fd, &st) != 0)
            return l.fail(std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            return l.fail(S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
        text_buffer text(size_t(st.st_size));
        int e = read_file(f.fd, text.data(), text.size());
        return e ? l.fail(std::strerror(e)) : load(l, text, nullptr, f.fd);
    });
}

int image_find_element(const std::string &text, uint32_t element, image_value_place &out)
{
    image_data scratch;
    std::string err;
    loader l{"", scratch, err};
    told_stream in(text.c_str());
    image_walk w(l, in, element);
    if (!w.run(text.size()))
        return EIO;
    if (!w.found)
        return ENOENT;
    out = w.place;
    return 0;
}

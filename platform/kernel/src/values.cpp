/*
 * Value forms of MIB images. Numbers are stored in host byte order at the
 * type's element width; strings with their terminating NUL; the typed forms
 * lay out the amd64 kernel structures field by field, so that a fixture
 * says "hz": 1000 instead of a run of hexadecimal bytes.
 */
#include "values.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "image.h"

namespace
{

using Value = json_value;

/* One field of a kernel structure: COUNT elements of WIDTH bytes at OFFSET. */
struct field {
    const char *name;
    uint32_t offset;
    uint8_t width;
    bool is_signed;
    uint8_t count;
};

/* A structure with fixed fields. */
struct layout {
    const char *form;
    uint32_t size;
    const field *fields;
    size_t nfields;
};

const field clockinfo_fields[] = {
    {"hz", 0, 4, true, 1},      {"tick", 4, 4, true, 1},    {"spare", 8, 4, true, 1},
    {"stathz", 12, 4, true, 1}, {"profhz", 16, 4, true, 1},
};
const field timeval_fields[] = {{"sec", 0, 8, true, 1}, {"usec", 8, 8, true, 1}};
const field loadavg_fields[] = {{"ldavg", 0, 4, false, 3}, {"fscale", 16, 8, true, 1}};
const field vmtotal_fields[] = {
    {"t_vm", 0, 8, false, 1},     {"t_avm", 8, 8, false, 1},     {"t_rm", 16, 8, false, 1},
    {"t_arm", 24, 8, false, 1},   {"t_vmshr", 32, 8, false, 1},  {"t_avmshr", 40, 8, false, 1},
    {"t_rmshr", 48, 8, false, 1}, {"t_armshr", 56, 8, false, 1}, {"t_free", 64, 8, false, 1},
    {"t_rq", 72, 2, true, 1},     {"t_dw", 74, 2, true, 1},      {"t_pw", 76, 2, true, 1},
    {"t_sl", 78, 2, true, 1},     {"t_sw", 80, 2, true, 1},
};
const field input_id_fields[] = {
    {"bustype", 0, 2, false, 1},
    {"vendor", 2, 2, false, 1},
    {"product", 4, 2, false, 1},
    {"version", 6, 2, false, 1},
};
const field smap_fields[] = {
    {"base", 0, 8, false, 1},
    {"length", 8, 8, false, 1},
    {"type", 16, 4, false, 1},
    {"xattr", 20, 4, false, 1},
};
const field efi_md_fields[] = {
    {"type", 0, 4, false, 1},  {"pad", 4, 4, false, 1},    {"phys", 8, 8, false, 1},
    {"virt", 16, 8, false, 1}, {"pages", 24, 8, false, 1}, {"attr", 32, 8, false, 1},
};

#define FIELDS(a) a, sizeof(a) / sizeof(a[0])
const layout layouts[] = {
    {"clockinfo", 20, FIELDS(clockinfo_fields)}, {"timeval", 16, FIELDS(timeval_fields)},
    {"loadavg", 24, FIELDS(loadavg_fields)},     {"vmtotal", 88, FIELDS(vmtotal_fields)},
    {"input_id", 8, FIELDS(input_id_fields)},
};
static_assert(sizeof(layouts) / sizeof(layouts[0]) == 5, "five fixed structures");
const layout smap_layout = {"smap", 24, FIELDS(smap_fields)};
const layout efi_md_layout = {"efi_map descriptor", 40, FIELDS(efi_md_fields)};
#undef FIELDS

void put(image_bytes &out, size_t at, uint64_t bits, unsigned width)
{
    // Host byte order, as the kernel hands values out.
    std::memcpy(out.data() + at, reinterpret_cast<const unsigned char *>(&bits), width);
}

/* Fills a structure of layout L at OUT[at..] from the JSON object V. */
bool encode_struct(const Value &v, const layout &l, image_bytes &out, size_t at, std::string &err)
{
    if (!v.IsObject()) {
        err = std::string(l.form) + " must be an object";
        return false;
    }
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
        const field *f = nullptr;
        for (size_t i = 0; i < l.nfields; i++) {
            if (std::strcmp(l.fields[i].name, m->name.GetString()) == 0)
                f = &l.fields[i];
        }
        if (!f) {
            err = std::string("unknown ") + l.form + " field '" + m->name.GetString() + "'";
            return false;
        }
        const Value *elems = &m->value;
        size_t n = 1;
        if (f->count > 1) {
            if (!m->value.IsArray() || m->value.Size() > f->count) {
                err = std::string(f->name) + " must be an array of at most " +
                      std::to_string(f->count) + " numbers";
                return false;
            }
            elems = m->value.Begin();
            n = m->value.Size();
        }
        for (size_t i = 0; i < n; i++) {
            uint64_t bits;
            if (!json_integer(elems[i], f->is_signed, f->width * 8, &bits, err)) {
                err = std::string(f->name) + ": " + err;
                return false;
            }
            put(out, at + f->offset + i * f->width, bits, f->width);
        }
    }
    return true;
}

bool encode_array_of(const Value &v, const layout &l, uint32_t stride, image_bytes &out,
                     std::string &err)
{
    if (!v.IsArray()) {
        err = std::string(l.form) + " must be an array";
        return false;
    }
    for (const Value &e : v.GetArray()) {
        size_t at = out.size();
        out.resize(at + stride, 0);
        if (!encode_struct(e, l, out, at, err))
            return false;
    }
    return true;
}

bool encode_efi_map(const Value &v, image_bytes &out, std::string &err)
{
    if (!v.IsObject()) {
        err = "efi_map must be an object";
        return false;
    }
    uint64_t dsize = 48, version = 1, memsize = NONE;
    const Value *descs = nullptr;
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
        std::string key = m->name.GetString();
        bool ok = true;
        if (key == "descriptor_size")
            ok = json_integer(m->value, false, 32, &dsize, err);
        else if (key == "descriptor_version")
            ok = json_integer(m->value, false, 32, &version, err);
        else if (key == "memory_size")
            ok = json_integer(m->value, false, 64, &memsize, err);
        else if (key == "descriptors" && m->value.IsArray())
            descs = &m->value;
        else {
            err = "unknown efi_map field '" + key + "'";
            return false;
        }
        if (!ok) {
            err = key + ": " + err;
            return false;
        }
    }
    if (dsize < 40 || dsize > 4096) {
        err = "descriptor_size must be 40 to 4096";
        return false;
    }
    size_t n = descs ? descs->Size() : 0;
    if (memsize == NONE)
        memsize = n * dsize;
    // The loader's metadata block: the header padded to 32 bytes.
    size_t at = out.size();
    out.resize(at + 32, 0);
    put(out, at, memsize, 8);
    put(out, at + 8, dsize, 8);
    put(out, at + 16, version, 4);
    return !descs || encode_array_of(*descs, efi_md_layout, uint32_t(dsize), out, err);
}

bool encode_numbers(const Value &v, uint32_t type, image_bytes &out, std::string &err)
{
    unsigned width = image_types[type].size;
    bool is_signed = type == 2 || type == 4 || type == 7 || type == 12 || type == 13 || type == 14;
    const Value *elems = &v;
    size_t n = 1;
    if (v.IsArray()) {
        elems = v.Begin();
        n = v.Size();
    }
    for (size_t i = 0; i < n; i++) {
        uint64_t bits;
        if (!json_integer(elems[i], is_signed, width * 8, &bits, err))
            return false;
        size_t at = out.size();
        out.resize(at + width);
        put(out, at, bits, width);
    }
    return true;
}

bool encode_form(const Value &v, uint32_t type, image_bytes &out, std::string &err)
{
    if (v.MemberCount() != 1) {
        err = "a value object must have exactly one key";
        return false;
    }
    std::string form = v.MemberBegin()->name.GetString();
    const Value &body = v.MemberBegin()->value;
    if (form == "hex")
        return hex_bytes(body, out, err);
    if (type == 1 && form != "hex") {
        err = "a node's value must be hex";
        return false;
    }
    for (const layout &l : layouts) {
        if (form == l.form) {
            size_t at = out.size();
            out.resize(at + l.size, 0);
            return encode_struct(body, l, out, at, err);
        }
    }
    if (form == "smap")
        return encode_array_of(body, smap_layout, 24, out, err);
    if (form == "efi_map")
        return encode_efi_map(body, out, err);
    if (form == "nvlist")
        return encode_nvlist(body, out, err);
    if (form == "pagesizes") {
        if (!body.IsArray()) {
            err = "pagesizes must be an array";
            return false;
        }
        return encode_numbers(body, 8, out, err);
    }
    err = "unknown value form '" + form + "'";
    return false;
}

} // namespace

bool hex_bytes(const Value &v, image_bytes &out, std::string &err)
{
    if (!v.IsString()) {
        err = "hex must be a string";
        return false;
    }
    int high = -1;
    for (const char *p = v.GetString(); *p; p++) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else if (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')
            continue;
        else {
            err = std::string("invalid hex digit '") + *p + "'";
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<unsigned char>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        err = "odd number of hex digits";
        return false;
    }
    return true;
}

bool json_integer(const Value &v, bool is_signed, unsigned bits, uint64_t *out, std::string &err)
{
    bool negative;
    uint64_t mag; // magnitude
    if (v.IsUint64()) {
        negative = false;
        mag = v.GetUint64();
    } else if (v.IsInt64()) {
        negative = true;
        mag = uint64_t(0) - uint64_t(v.GetInt64());
    } else if (v.IsString()) {
        // Strings carry numbers that a JSON reader would round ("0x8000000000000000").
        const char *s = v.GetString();
        negative = *s == '-';
        char *end;
        errno = 0;
        mag = std::strtoull(s + negative, &end, 0);
        if (end == s + negative || *end || errno || s[negative] == '-' || s[negative] == '+') {
            err = std::string("invalid number '") + s + "'";
            return false;
        }
    } else {
        err = "expected an integer";
        return false;
    }
    uint64_t umax = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    uint64_t pmax = is_signed ? umax >> 1 : umax; // largest positive
    uint64_t nmax = is_signed ? pmax + 1 : 0;     // largest negative magnitude
    if ((!negative && mag > pmax) || (negative && mag > nmax)) {
        err = "value out of range for " + std::to_string(bits) + "-bit " +
              (is_signed ? "signed" : "unsigned") + " integer";
        return false;
    }
    *out = negative ? uint64_t(0) - mag : mag;
    return true;
}

bool encode_value(const Value &value, uint32_t type, image_bytes &out, std::string &err)
{
    if (value.IsObject())
        return encode_form(value, type, out, err);
    if (type == 3) {
        if (!value.IsString()) {
            err = "a string's value must be a string";
            return false;
        }
        const unsigned char *s = reinterpret_cast<const unsigned char *>(value.GetString());
        out.insert(out.end(), s, s + value.GetStringLength());
        out.push_back(0);
        return true;
    }
    if (image_types[type].size == 0) {
        err = std::string("a value of type '") + image_types[type].name +
              "' must be hex or a typed form";
        return false;
    }
    return encode_numbers(value, type, out, err);
}

void decode_value(uint32_t type, const unsigned char *bytes, size_t len, Value &out,
                  json_pool &alloc)
{
    unsigned width = image_types[type].size;
    if (type == 3 && len > 0 && bytes[len - 1] == 0 &&
        std::memchr(bytes, 0, len) == bytes + len - 1) {
        // Plain ASCII text stays readable; anything else goes out as hex so
        // that no byte is lost to an encoding.
        bool plain = true;
        for (size_t i = 0; i + 1 < len; i++)
            plain = plain && bytes[i] < 0x80;
        if (plain) {
            out.SetString(reinterpret_cast<const char *>(bytes), rapidjson::SizeType(len - 1),
                          alloc);
            return;
        }
    }
    if (type != 3 && width != 0 && len > 0 && len % width == 0) {
        bool is_signed =
            type == 2 || type == 4 || type == 7 || type == 12 || type == 13 || type == 14;
        auto element = [&](size_t i) {
            uint64_t bits = 0;
            std::memcpy(&bits, bytes + i * width, width);
            Value n;
            if (is_signed) {
                int64_t s = int64_t(bits << (64 - 8 * width)) >> (64 - 8 * width);
                n.SetInt64(s);
            } else {
                n.SetUint64(bits);
            }
            return n;
        };
        if (len == width) {
            out = element(0);
        } else {
            out.SetArray();
            for (size_t i = 0; i < len / width; i++)
                out.PushBack(element(i), alloc);
        }
        return;
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * len);
    for (size_t i = 0; i < len; i++) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    out.SetObject();
    out.AddMember("hex", Value(hex.c_str(), rapidjson::SizeType(hex.size()), alloc), alloc);
}

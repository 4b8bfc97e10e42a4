/*
 * The "nvlist" value form: a name/value list written as JSON pairs and
 * packed with libnv, so that an image holds the bytes a FreeBSD kernel
 * would hand out for an "NV" object. Built without libnv, the form is
 * refused with a message that says so.
 */
#include "values.h"

#ifdef TUNEX_IMAGE_NV

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/nv.h>

namespace
{

using Value = json_value;

/* Deeper lists than this are refused, so that a hostile image cannot
 * exhaust the stack. */
constexpr int max_depth = 32;

struct nv_free {
    void operator()(nvlist_t *l) const { nvlist_destroy(l); }
};
using nv_ptr = std::unique_ptr<nvlist_t, nv_free>;

nv_ptr build(const Value &pairs, int depth, std::string &err);

bool add_pair(nvlist_t *l, const Value &p, int depth, std::string &err)
{
    if (!p.IsObject() || !p.HasMember("name") || !p["name"].IsString() || !p.HasMember("type") ||
        !p["type"].IsString()) {
        err = "a pair needs a name and a type";
        return false;
    }
    const char *name = p["name"].GetString();
    std::string type = p["type"].GetString();
    static const Value null_value;
    const Value &v = p.HasMember("value") ? p["value"] : null_value;
    auto fail = [&](const char *what) {
        err = std::string("pair '") + name + "': " + what;
        return false;
    };
    if (type == "null") {
        nvlist_add_null(l, name);
    } else if (type == "bool") {
        if (!v.IsBool())
            return fail("expected true or false");
        nvlist_add_bool(l, name, v.GetBool());
    } else if (type == "number") {
        uint64_t n;
        if (!json_integer(v, false, 64, &n, err))
            return fail(err.c_str());
        nvlist_add_number(l, name, n);
    } else if (type == "string") {
        if (!v.IsString())
            return fail("expected a string");
        nvlist_add_string(l, name, v.GetString());
    } else if (type == "binary") {
        image_bytes bytes;
        if (!hex_bytes(v, bytes, err))
            return fail(err.c_str());
        nvlist_add_binary(l, name, bytes.data(), bytes.size());
    } else if (type == "nvlist") {
        nv_ptr child = build(v, depth + 1, err);
        if (!child)
            return false;
        nvlist_add_nvlist(l, name, child.get());
    } else if (type == "bool_array" || type == "number_array" || type == "string_array" ||
               type == "nvlist_array") {
        if (!v.IsArray())
            return fail("expected an array");
        size_t n = v.Size();
        if (type == "bool_array") {
            std::unique_ptr<bool[]> items(new bool[n + 1]);
            for (size_t i = 0; i < n; i++) {
                if (!v[rapidjson::SizeType(i)].IsBool())
                    return fail("expected true or false");
                items[i] = v[rapidjson::SizeType(i)].GetBool();
            }
            nvlist_add_bool_array(l, name, items.get(), n);
        } else if (type == "number_array") {
            std::vector<uint64_t> items(n);
            for (size_t i = 0; i < n; i++) {
                if (!json_integer(v[rapidjson::SizeType(i)], false, 64, &items[i], err))
                    return fail(err.c_str());
            }
            nvlist_add_number_array(l, name, items.data(), n);
        } else if (type == "string_array") {
            std::vector<const char *> items(n);
            for (size_t i = 0; i < n; i++) {
                if (!v[rapidjson::SizeType(i)].IsString())
                    return fail("expected strings");
                items[i] = v[rapidjson::SizeType(i)].GetString();
            }
            nvlist_add_string_array(l, name, items.data(), n);
        } else {
            std::vector<nv_ptr> owned;
            std::vector<const nvlist_t *> items;
            for (size_t i = 0; i < n; i++) {
                owned.push_back(build(v[rapidjson::SizeType(i)], depth + 1, err));
                if (!owned.back())
                    return false;
                items.push_back(owned.back().get());
            }
            nvlist_add_nvlist_array(l, name, items.data(), n);
        }
    } else if (type == "descriptor" || type == "descriptor_array") {
        return fail("descriptors cannot be packed");
    } else {
        return fail(("unknown pair type '" + type + "'").c_str());
    }
    if (int e = nvlist_error(l))
        return fail(std::strerror(e));
    return true;
}

nv_ptr build(const Value &pairs, int depth, std::string &err)
{
    if (!pairs.IsArray()) {
        err = "an nvlist must be an array of pairs";
        return nullptr;
    }
    if (depth > max_depth) {
        err = "nvlists nested too deep";
        return nullptr;
    }
    nv_ptr l(nvlist_create(0));
    if (!l) {
        err = std::strerror(errno);
        return nullptr;
    }
    for (const Value &p : pairs.GetArray()) {
        if (!add_pair(l.get(), p, depth, err))
            return nullptr;
    }
    return l;
}

} // namespace

bool encode_nvlist(const Value &v, image_bytes &out, std::string &err)
{
    nv_ptr l = build(v, 0, err);
    if (!l)
        return false;
    size_t size;
    void *packed = nvlist_pack(l.get(), &size);
    if (!packed) {
        err = std::string("cannot pack the nvlist: ") + std::strerror(errno);
        return false;
    }
    const unsigned char *b = static_cast<const unsigned char *>(packed);
    out.insert(out.end(), b, b + size);
    std::free(packed);
    return true;
}

#else

bool encode_nvlist(const json_value &, image_bytes &, std::string &err)
{
    err = "nvlist values need libnv, which this build lacks";
    return false;
}

#endif

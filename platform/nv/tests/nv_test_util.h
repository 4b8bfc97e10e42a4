/*
 * Test helpers for name/value lists, shared by the list library's tests and
 * the program's: the bytes of hexadecimal vector files, the bytes a list
 * packs to, and builders of nested lists and arrays.
 */
#ifndef TUNEX_NV_TEST_UTIL_H
#define TUNEX_NV_TEST_UTIL_H

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/nv.h>

/* The bytes of a .hex file's text (whitespace ignored). */
inline std::vector<unsigned char> nv_hex_bytes(const std::string &text)
{
    std::vector<unsigned char> bytes;
    int high = -1;
    for (char c : text) {
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0)
            continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<unsigned char>(high << 4 | v));
            high = -1;
        }
    }
    return bytes;
}

/* The whole contents of the file at PATH ("" when it cannot be read). */
inline std::string nv_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/* The packed bytes of NVL (none when it does not pack). */
inline std::vector<unsigned char> nv_pack(const nvlist_t *nvl)
{
    size_t size = 0;
    auto *buf = static_cast<unsigned char *>(nvlist_pack(nvl, &size));
    if (buf == nullptr)
        return {};
    std::vector<unsigned char> out(buf, buf + size);
    std::free(buf);
    return out;
}

/* A list {NAME=NUMBER}, for building arrays. */
inline nvlist_t *nv_one_number(const char *name, uint64_t value)
{
    nvlist_t *nvl = nvlist_create(0);
    nvlist_add_number(nvl, name, value);
    return nvl;
}

/* Adds an array of the lists ELEMS under NAME and destroys ELEMS. */
inline void nv_add_array(nvlist_t *nvl, const char *name, std::vector<nvlist_t *> elems)
{
    nvlist_add_nvlist_array(nvl, name, elems.data(), elems.size());
    for (nvlist_t *e : elems)
        nvlist_destroy(e);
}

/* Adds a copy of CHILD under NAME and destroys CHILD. */
inline void nv_add_list(nvlist_t *nvl, const char *name, nvlist_t *child)
{
    nvlist_add_nvlist(nvl, name, child);
    nvlist_destroy(child);
}

#endif

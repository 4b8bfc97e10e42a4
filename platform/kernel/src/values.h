/*
 * The values of a MIB image: the JSON forms an image writes (numbers,
 * strings, hexadecimal bytes and typed forms of the kernel structures) and
 * the bytes a kernel would hand out for them, in both directions.
 */
#ifndef TUNEX_KERNEL_VALUES_H
#define TUNEX_KERNEL_VALUES_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "image.h"

/* RapidJSON's default allocator, except that an allocation that fails
 * throws std::bad_alloc: RapidJSON itself would go on with a null pointer. */
struct json_allocator {
    static const bool kNeedFree = true;
    void *Malloc(size_t size) { return size ? checked(std::malloc(size)) : nullptr; }
    void *Realloc(void *p, size_t, size_t size)
    {
        if (size == 0) {
            std::free(p);
            return nullptr;
        }
        return checked(std::realloc(p, size));
    }
    static void Free(void *p) { std::free(p); }

  private:
    static void *checked(void *p)
    {
        if (!p)
            throw std::bad_alloc();
        return p;
    }
};

/* The JSON documents and values of images, on that allocator. */
using json_pool = rapidjson::MemoryPoolAllocator<json_allocator>;
using json_document = rapidjson::GenericDocument<rapidjson::UTF8<>, json_pool, json_allocator>;
using json_value = json_document::ValueType;

/* Appends to OUT the bytes of VALUE, the JSON value of an object of type
 * code TYPE. Returns false with a short reason in ERR when VALUE does not
 * fit the type. */
bool encode_value(const json_value &value, uint32_t type, image_bytes &out, std::string &err);

/* Sets OUT to the JSON form of LEN bytes at BYTES for an object of type
 * TYPE: numbers for numeric types, text for strings, hexadecimal otherwise.
 * encode_value gives the same bytes back. */
void decode_value(uint32_t type, const unsigned char *bytes, size_t len, json_value &out,
                  json_pool &alloc);

/* Reads an integer from V (a JSON number or a string such as "0x10") that
 * must fit BITS bits, signed or not; stores its bit pattern in *OUT. */
bool json_integer(const json_value &v, bool is_signed, unsigned bits, uint64_t *out,
                  std::string &err);

/* Appends the bytes of the hexadecimal text V (white space allowed). */
bool hex_bytes(const json_value &v, image_bytes &out, std::string &err);

/* Appends the packed name/value list that the array of pairs V describes
 * (libnv's nvlist_pack). */
bool encode_nvlist(const json_value &v, image_bytes &out, std::string &err);

#endif

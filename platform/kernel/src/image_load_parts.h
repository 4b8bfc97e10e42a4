/*
 * The parts the image loader's two readers share: the whole-document
 * reader (image_load.cpp), which parses an image before it reads any
 * object and reports errors with their place, and the streaming reader
 * (image_stream.cpp), which loads a well-formed image as it is read and
 * leaves every other image to the first.
 */
#ifndef TUNEX_KERNEL_IMAGE_LOAD_PARTS_H
#define TUNEX_KERNEL_IMAGE_LOAD_PARTS_H

#include <cstddef>
#include <string>

#include <rapidjson/document.h>

#include "image.h"

namespace image_loading
{

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
};

/* Turns one JSON object of "objects", the INDEXth, into a mib_object. */
bool load_object(loader &l, const rapidjson::Value &v, size_t index);

/* Loads the member KEY of the image's top level other than "objects". */
bool load_top_member(loader &l, const char *key, const rapidjson::Value &x);

/* Reserves the arenas from the SIZE of the image's text. */
void reserve_arenas(image_data &out, size_t size);

/* Indexes the loaded objects, adds the parents they imply and checks the
 * tree. */
bool finish(loader &l);

/* Passes a document's parse events on, refusing to nest deeper than the
 * recursive parser's use of the stack allows. DEPTH counts the arrays and
 * objects already open around the text being parsed. */
struct nesting_guard {
    static constexpr unsigned max_depth = 256;
    rapidjson::Document &d;
    unsigned depth = 0;

    bool Null() { return d.Null(); }
    bool Bool(bool b) { return d.Bool(b); }
    bool Int(int i) { return d.Int(i); }
    bool Uint(unsigned u) { return d.Uint(u); }
    bool Int64(int64_t i) { return d.Int64(i); }
    bool Uint64(uint64_t u) { return d.Uint64(u); }
    bool Double(double x) { return d.Double(x); }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool copy)
    {
        return d.RawNumber(s, n, copy);
    }
    bool String(const char *s, rapidjson::SizeType n, bool copy) { return d.String(s, n, copy); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) { return d.Key(s, n, copy); }
    bool StartObject() { return ++depth <= max_depth && d.StartObject(); }
    bool EndObject(rapidjson::SizeType n)
    {
        --depth;
        return d.EndObject(n);
    }
    bool StartArray() { return ++depth <= max_depth && d.StartArray(); }
    bool EndArray(rapidjson::SizeType n)
    {
        --depth;
        return d.EndArray(n);
    }
};

/* Readable bytes that must follow the NUL after a text the streaming
 * reader reads in memory: it scans strings 16 bytes at a time. */
constexpr size_t text_padding = 16;

/* Loads the image of SIZE bytes in the open file FD as it is read, CHUNK
 * bytes at a time, into OUT; a file of PARALLEL bytes or more is read by
 * two threads, each from one half. False when the image is left to the
 * whole-document reader: it has an error, or a shape only that one takes. */
bool load_streaming_file(const char *path, int fd, size_t size, size_t chunk, size_t parallel,
                         image_data &out);

/* The same for the SIZE bytes at TEXT, followed by a NUL and text_padding
 * more bytes; TEXT is clobbered. */
bool load_streaming_text(const char *path, char *text, size_t size, image_data &out);

} // namespace image_loading

#endif

/*
 * Loading a MIB image from its JSON text, with every check that keeps the
 * kernel stand-in sound: the place of a syntax error as line and column,
 * the object whose type, flags, OID, name or value is wrong, duplicates,
 * and the shape of the tree.
 */
#ifndef TUNEX_KERNEL_IMAGE_LOAD_H
#define TUNEX_KERNEL_IMAGE_LOAD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image.h"

/* Loads the image in TEXT (JSON) into OUT. PATH only names the file in messages. Returns false with
 * a message of the form "PATH:LINE:COLUMN: what" or "PATH: object 'NAME': what" in ERR; a failed
 * allocation is "PATH: Cannot allocate memory". */
bool image_load_text(const char *path, const std::string &text, image_data &out, std::string &err);

/* Reads the file PATH and loads it as image_load_text does; a file that
 * cannot be read gives "PATH: " and the system's error text, anything but
 * a regular file "PATH: not a regular file". */
bool image_load_file(const char *path, image_data &out, std::string &err);

/* Where an element of an image's "objects" keeps its value in the text. */
struct image_value_place {
    /* The text from BEGIN to END is the ": VALUE" after the key "value";
     * without that key, both are the offset of the element's closing brace. */
    size_t begin = 0, end = 0;
    bool has_value = false;
    std::vector<int32_t> oid; /* the element's OID as the text has it */
};

/* Finds the element ELEMENT (mib_object::element) of "objects" in the
 * image TEXT. Returns 0, EIO when the text does not read as an image up to
 * it, or ENOENT when there is no such element. */
int image_find_element(const std::string &text, uint32_t element, image_value_place &out);

#endif

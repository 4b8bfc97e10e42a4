/*
 * Loading a MIB image from its JSON text, with every check that keeps the
 * kernel stand-in sound: the place of a syntax error as line and column,
 * the object whose type, flags, OID, name or value is wrong, duplicates,
 * and the shape of the tree.
 */
#ifndef TUNEX_KERNEL_IMAGE_LOAD_H
#define TUNEX_KERNEL_IMAGE_LOAD_H

#include <cstddef>
#include <string>

#include "image.h"

/* Loads the image in TEXT (JSON) into OUT. PATH only names the file in messages. Returns false with
 * a message of the form "PATH:LINE:COLUMN: what" or "PATH: object 'NAME': what" in ERR. */
bool image_load_text(const char *path, const std::string &text, image_data &out, std::string &err);

/* Loads TEXT as image_load_text does, always as one whole document. The
 * faster loader behind image_load_text takes well-formed images as they
 * are read and leaves every other image to this one: both must give the
 * same result, which the tests and the fuzzer compare. */
bool image_load_document(const char *path, const std::string &text, image_data &out,
                         std::string &err);

/* Reads the file PATH and loads it as image_load_text does; a file that
 * cannot be read gives "PATH: " and the system's error text. */
bool image_load_file(const char *path, image_data &out, std::string &err);

/* How much of a file image_load_file reads at a time; tests make it small
 * to put the ends of chunks everywhere. */
extern size_t image_load_chunk;

/* The size from which image_load_file reads a file with two threads, one
 * from its middle; tests make it 0. */
extern size_t image_load_parallel;

/* Parses an errno name ("EPERM") or number; 0 when it is neither. */
int errno_from_name(const char *name);

#endif

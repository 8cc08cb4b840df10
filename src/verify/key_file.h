// The key file: the text form of a KeyMaterial, read by the build (through
// cmake/KeyMaterial.cmake) and by qortool --key, with the same rules and
// messages.
//
// '#' lines and blank lines are ignored; every other line is a field name
// and its values, separated by blanks, each value hexadecimal with 0x.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "verify.h"

// A key file holds a few KiB; anything larger is refused unread.
constexpr std::size_t key_file_limit = 64 * 1024;

// Reads the key file at `path` into `key`. On a fault returns false and sets
// `error` to "NAME:LINE: what is wrong" (or "NAME: what is wrong"), where
// NAME is how messages name the file. A UTF-8 byte-order mark at its start
// is allowed.
bool read_key_file(const std::filesystem::path &path, const std::string &name, KeyMaterial &key,
                   std::string &error);

// The same from a stream already open (a pipe too), read to its end or to
// one byte past the limit; the stream is left open.
bool read_key_stream(std::FILE *stream, const std::string &name, KeyMaterial &key,
                     std::string &error);

// The key's fields in their canonical text: one line each, in the order of
// KeyMaterial, values in lower-case hexadecimal with all their digits. This
// is what keygen writes after its comment.
std::string key_text(const KeyMaterial &key);

// A short id of a key: 8 code symbols (40 bits) of the MD5 of its canonical
// text, so every bit of every field counts.
std::string key_id(const KeyMaterial &key);

// The key file: the text form of a KeyMaterial, read by the build (through
// cmake/KeyMaterial.cmake) and by qortool --key, with the same rules and
// messages.
//
// '#' lines and blank lines are ignored; every other line is a field name
// and its values, separated by blanks, each value hexadecimal with 0x.
#pragma once

#include <filesystem>
#include <string>

#include "verify.h"

// Reads the key file at `path` into `key`. On a fault returns false and sets
// `error` to "NAME:LINE: what is wrong" (or "NAME: what is wrong"), where
// NAME is how messages name the file.
bool read_key_file(const std::filesystem::path &path, const std::string &name, KeyMaterial &key,
                   std::string &error);

// A short id of a key: the first eight symbols of the code that the key
// gives to a fixed probe content, into which the stamp constants are mixed
// too. Keys that differ anywhere have different ids, but for chance.
std::string key_id(const KeyMaterial &key);

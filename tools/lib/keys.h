// Loading a key file that a command line names. May include the core.
#pragma once

#include <string>

#include "key_file.h"

// Reads the key file that an argument names ("-" for standard input, or a
// path, a pipe or a descriptor); reports a fault and returns false.
bool load_key_file(const std::string &argument, KeyMaterial &key);

#include "keys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files.h"

bool load_key_file(const std::string &argument, KeyMaterial &key) {
    std::string error;
    bool read = false;
    if (argument == "-") {
        set_binary_mode(stdin);
        read = read_key_stream(stdin, "standard input", key, error);
    } else if (const char *why = nullptr;
               File f{open_key_source(path_from_argument(argument), &why)}) {
        read = read_key_stream(f.get(), argument, key, error);
    } else {
        // A copy first: Windows' strerror gives the same buffer every time.
        const std::string reason = why;
        error = argument + ": " + (reason == std::strerror(ENOENT) ? "key file not found" : reason);
    }
    if (!read)
        report_message("%s", error.c_str());
    return read;
}

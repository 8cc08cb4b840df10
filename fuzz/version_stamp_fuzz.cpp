// read_version_stamp on arbitrary executable tails: the texts stay within
// their fields, the title within its buffer, and only a matching signature
// gives a version.
#include <cstring>

#include "fuzz_file.h"
#include "version_stamp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = scratch_path("qorcert.exe");
    write_scratch(path, data, size);
    VersionStamp stamp = read_version_stamp(path);
    bool signed_tail =
        size >= stamp_length &&
        std::memcmp(data + size - stamp_length, build_key.stamp_signature, signature_length) == 0;
    if (!stamp.opened || stamp.present != signed_tail)
        std::abort();
    if (std::strlen(stamp.version) > version_field || std::strlen(stamp.second) > second_field)
        std::abort();
    char title[title_size];
    compose_title(stamp, title);
    std::size_t length = std::strlen(title);
    if (std::strncmp(title, base_title, sizeof base_title - 1) != 0 ||
        length != sizeof base_title + std::strlen(stamp.present ? stamp.version : ""))
        std::abort();
    return 0;
}

#include "version_stamp.h"

#include <cstring>

std::uint8_t descramble_byte(std::uint8_t b, const KeyMaterial &key) {
    return static_cast<std::uint8_t>((b + key.stamp_addend) ^ key.stamp_mask);
}

std::uint8_t scramble_byte(std::uint8_t t, const KeyMaterial &key) {
    return static_cast<std::uint8_t>((t ^ key.stamp_mask) - key.stamp_addend);
}

namespace {

// Descrambles a field into a terminated text, cut at its first NUL.
void read_text(std::FILE *f, std::size_t offset_from_end, std::size_t length, char *text,
               const KeyMaterial &key) {
    std::uint8_t field[version_field] = {};
    read_from_end(f, offset_from_end, field, length);
    std::size_t n = 0;
    while (n < length && (text[n] = static_cast<char>(descramble_byte(field[n], key))) != 0)
        ++n;
    text[n] = 0;
}

} // namespace

VersionStamp read_version_stamp(const std::filesystem::path &path, const KeyMaterial &key) {
    VersionStamp stamp = {};
    std::FILE *f = open_regular_file(path);
    if (!f)
        return stamp;
    stamp.opened = true;
    std::uint64_t size = 0;
    std::uint8_t signature[signature_length] = {};
    if (measure_file(f, &size) && size >= stamp_length) {
        read_from_end(f, stamp_length, signature, signature_length);
        stamp.present = std::memcmp(signature, key.stamp_signature, signature_length) == 0;
    }
    if (stamp.present) {
        read_text(f, stamp_length - signature_length, version_field, stamp.version, key);
        read_text(f, second_field, second_field, stamp.second, key);
    }
    std::fclose(f);
    return stamp;
}

bool is_windows_executable(std::FILE *stream) {
    std::uint8_t header[64] = {};
    std::uint8_t signature[4] = {};
    if (seek_stream(stream, 0, SEEK_SET) != 0 || std::fread(header, 1, 64, stream) != 64)
        return false;
    std::uint32_t pe_offset = header[0x3C] | header[0x3D] << 8 | header[0x3E] << 16 |
                              static_cast<std::uint32_t>(header[0x3F]) << 24;
    return header[0] == 'M' && header[1] == 'Z' && seek_stream(stream, pe_offset, SEEK_SET) == 0 &&
           std::fread(signature, 1, 4, stream) == 4 && std::memcmp(signature, "PE\0\0", 4) == 0;
}

void make_version_stamp(const char *version, const char *second, std::uint8_t stamp[stamp_length],
                        const KeyMaterial &key) {
    std::uint8_t plain[stamp_length] = {};
    std::memcpy(plain, key.stamp_signature, signature_length);
    std::strncpy(reinterpret_cast<char *>(plain + signature_length), version, version_field - 1);
    std::strncpy(reinterpret_cast<char *>(plain + signature_length + version_field), second,
                 second_field - 1);
    std::memcpy(stamp, plain, signature_length);
    for (std::size_t i = signature_length; i < stamp_length; ++i)
        stamp[i] = scramble_byte(plain[i], key);
}

void compose_title(const VersionStamp &stamp, char title[title_size]) {
    std::snprintf(title, title_size, "%s %s", base_title, stamp.present ? stamp.version : "");
}

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

namespace {

// What Windows-1252 holds at 0x80 to 0x9F; the five unassigned places are 0.
constexpr char32_t windows_1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The code point of the UTF-8 sequence at `at`, which it passes; U+FFFFFFFF
// for a byte sequence that is not UTF-8 (overlong forms and surrogates
// included).
char32_t next_code_point(const std::string &utf8, std::size_t &at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(utf8[i]); };
    std::uint8_t lead = byte(at++);
    if (lead < 0x80)
        return lead;
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead >= 0xF8 || at + length - 1 > utf8.size())
        return 0xFFFFFFFF;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i, ++at) {
        if ((byte(at) & 0xC0) != 0x80)
            return 0xFFFFFFFF;
        c = c << 6 | (byte(at) & 0x3F);
    }
    const char32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0xFFFFFFFF;
    return c;
}

} // namespace

bool windows_1252_from_utf8(const std::string &utf8, std::string &text, std::string &refused) {
    text.clear();
    for (std::size_t at = 0; at < utf8.size();) {
        std::size_t start = at;
        char32_t c = next_code_point(utf8, at);
        int byte = c < 0x80 || (c >= 0xA0 && c <= 0xFF) ? static_cast<int>(c) : -1;
        for (int i = 0; i < 32 && byte < 0; ++i)
            if (c != 0 && windows_1252_high[i] == c)
                byte = 0x80 + i;
        if (byte < 0) {
            refused = utf8.substr(start, at - start);
            return false;
        }
        text += static_cast<char>(byte);
    }
    return true;
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

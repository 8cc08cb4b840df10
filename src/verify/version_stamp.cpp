#include "version_stamp.h"

#include <cstring>

#include "endian.h"
#include "utf8.h"

std::uint8_t descramble_byte(std::uint8_t b, const KeyMaterial &key) {
    return static_cast<std::uint8_t>((b + key.stamp_addend) ^ key.stamp_mask);
}

std::uint8_t scramble_byte(std::uint8_t t, const KeyMaterial &key) {
    return static_cast<std::uint8_t>((t ^ key.stamp_mask) - key.stamp_addend);
}

namespace {

// Descrambles a field into a terminated text, cut at its first NUL.
void read_text(const std::uint8_t *field, std::size_t length, char *text, const KeyMaterial &key) {
    std::size_t n = 0;
    while (n < length && (text[n] = static_cast<char>(descramble_byte(field[n], key))) != 0)
        ++n;
    text[n] = 0;
}

} // namespace

VersionStamp read_version_stamp(const std::filesystem::path &path, const KeyMaterial &key) {
    std::FILE *f = open_regular_file(path);
    if (!f)
        return {};
    VersionStamp stamp = read_version_stamp(f, key);
    std::fclose(f);
    return stamp;
}

namespace {

bool read_at(std::FILE *stream, std::uint64_t offset, std::uint8_t *buffer, std::size_t length) {
    return seek_stream(stream, static_cast<std::int64_t>(offset), SEEK_SET) == 0 &&
           std::fread(buffer, 1, length, stream) == length;
}

// The 32-bit word at `offset`, or 0 where the file holds none.
std::uint32_t word_at(std::FILE *stream, std::uint64_t offset) {
    std::uint8_t word[4];
    return read_at(stream, offset, word, sizeof word) ? load_le32(word) : 0;
}

} // namespace

CertificateTable certificate_table(std::FILE *stream) {
    std::uint8_t dos[pe::dos_header_length];
    std::uint8_t head[pe::signature_length + pe::coff_header_length + 2];
    if (!read_at(stream, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return {};
    const std::uint64_t signature_at = load_le32(dos + pe::dos_pe_offset);
    if (!read_at(stream, signature_at, head, sizeof head) ||
        std::memcmp(head, "PE\0\0", pe::signature_length) != 0)
        return {};
    const std::uint64_t optional_at = signature_at + pe::signature_length + pe::coff_header_length;
    const std::uint16_t optional_size =
        load_le16(head + pe::signature_length + pe::coff_optional_header_size);
    const std::uint16_t magic = load_le16(head + pe::signature_length + pe::coff_header_length);
    const std::size_t count_at = magic == pe::pe32_magic        ? pe::pe32_directory_count
                                 : magic == pe::pe32_plus_magic ? pe::pe32_plus_directory_count
                                                                : 0;
    const std::uint64_t entry =
        optional_at + count_at + 4 + pe::certificate_directory * pe::directory_entry_length;
    if (!count_at || word_at(stream, optional_at + count_at) <= pe::certificate_directory ||
        entry + pe::directory_entry_length > optional_at + optional_size)
        return {};
    const std::uint32_t at = word_at(stream, entry), length = word_at(stream, entry + 4);
    if (!at || !length)
        return {};
    return {entry, at, length};
}

std::uint64_t stamp_end(std::FILE *stream, std::uint64_t size, const KeyMaterial &key) {
    const CertificateTable table = certificate_table(stream);
    if (!table.length || table.at + table.length != size || table.at > size)
        return size;
    // The stamp ends where the zero bytes that signing padded with begin.
    for (std::size_t padding = 0; padding < pe::certificate_alignment; ++padding) {
        const std::uint64_t end = table.at - padding;
        std::uint8_t bytes[stamp_length + pe::certificate_alignment] = {};
        if (end < stamp_length ||
            !read_at(stream, end - stamp_length, bytes, stamp_length + padding))
            break;
        bool zeros = true;
        for (std::size_t i = 0; i < padding; ++i)
            zeros = zeros && bytes[stamp_length + i] == 0;
        if (zeros && std::memcmp(bytes, key.stamp_signature, signature_length) == 0)
            return end;
    }
    return table.at;
}

VersionStamp read_version_stamp(std::FILE *f, const KeyMaterial &key) {
    VersionStamp stamp = {};
    stamp.opened = true;
    std::uint64_t size = 0;
    std::uint8_t bytes[stamp_length] = {};
    if (!measure_file(f, &size))
        return stamp;
    const std::uint64_t end = stamp_end(f, size, key);
    if (end >= stamp_length && read_at(f, end - stamp_length, bytes, stamp_length))
        stamp.present = std::memcmp(bytes, key.stamp_signature, signature_length) == 0;
    if (stamp.present) {
        read_text(bytes + signature_length, version_field, stamp.version, key);
        read_text(bytes + signature_length + version_field, second_field, stamp.second, key);
    }
    return stamp;
}

ExecutableImage read_executable_image(std::FILE *stream, std::uint64_t size) {
    ExecutableImage image = {};
    std::uint8_t dos[pe::dos_header_length];
    std::uint8_t coff[pe::signature_length + pe::coff_header_length];
    if (!read_at(stream, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return image;
    const std::uint64_t signature_at = load_le32(dos + pe::dos_pe_offset);
    if (!read_at(stream, signature_at, coff, sizeof coff) ||
        std::memcmp(coff, "PE\0\0", pe::signature_length) != 0)
        return image;
    image.found = true;
    const std::uint8_t *header = coff + pe::signature_length;
    const std::uint16_t sections = load_le16(header + pe::coff_section_count);
    const std::uint16_t optional_size = load_le16(header + pe::coff_optional_header_size);
    const std::uint32_t symbols = load_le32(header + pe::coff_symbol_table);
    const std::uint32_t symbol_count = load_le32(header + pe::coff_symbol_count);
    const std::uint64_t optional_at = signature_at + sizeof coff;
    const std::uint64_t table = optional_at + optional_size;
    std::uint64_t end = table + pe::section_entry_length * sections;
    std::uint8_t headers_size[4];
    if (optional_size >= pe::optional_headers_size + 4 &&
        read_at(stream, optional_at + pe::optional_headers_size, headers_size, 4) &&
        load_le32(headers_size) > size) {
        image.damage = "its headers are larger than the file";
        return image;
    }
    if (end > size) {
        image.damage = "its section table runs past the end of the file";
        return image;
    }
    for (std::uint16_t i = 0; i < sections; ++i) {
        std::uint8_t section[pe::section_entry_length];
        read_at(stream, table + pe::section_entry_length * i, section, sizeof section);
        const std::uint32_t raw_size = load_le32(section + pe::section_raw_size);
        const std::uint64_t raw_end =
            std::uint64_t{load_le32(section + pe::section_raw_offset)} + raw_size;
        if (raw_size && raw_end > size) {
            image.damage = "a section's data runs past the end of the file";
            return image;
        }
        end = raw_end > end ? raw_end : end;
    }
    if (symbols) {
        const std::uint64_t strings = symbols + std::uint64_t{pe::symbol_length} * symbol_count;
        std::uint8_t strings_size[4];
        if (!read_at(stream, strings, strings_size, 4) ||
            strings + load_le32(strings_size) > size) {
            image.damage = "its symbol table runs past the end of the file";
            return image;
        }
        const std::uint64_t symbols_end = strings + load_le32(strings_size);
        end = symbols_end > end ? symbols_end : end;
    }
    image.end = end;
    image.certificate = certificate_table(stream);
    return image;
}

namespace {

// What Windows-1252 holds at 0x80 to 0x9F; the five unassigned places are 0.
constexpr char32_t windows_1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

std::string utf8_from_windows_1252(const std::string &text) {
    std::string utf8;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        char32_t code =
            c >= 0x80 && c < 0xA0 && windows_1252_high[c - 0x80] ? windows_1252_high[c - 0x80] : c;
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | code >> 6);
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xE0 | code >> 12);
            utf8 += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

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

// The version stamp: 46 bytes at the very end of the certificator's own
// executable, a raw signature and two scrambled texts. Portable: it needs no
// window, so qortool writes stamps with it and the tests read them natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "verify.h"

// Offsets counted back from the end of the file.
constexpr std::size_t stamp_length = 46;
constexpr std::size_t signature_length = 5;
constexpr std::size_t version_field = 30; // at -41
constexpr std::size_t second_field = 11;  // at -11

constexpr const char base_title[] = "QOR Release Authentication Certificator";
constexpr std::size_t title_size = 201;

// What a stamp reader found. The texts are cut at their first NUL, or at the
// field's length when the field holds none, and are always terminated.
struct VersionStamp {
    bool opened;  // the file could be opened
    bool present; // the signature matched
    char version[version_field + 1];
    char second[second_field + 1];
};

// A scrambled byte b reads as ((b + addend) mod 256) xor mask.
std::uint8_t descramble_byte(std::uint8_t b, const KeyMaterial &key = build_key);
std::uint8_t scramble_byte(std::uint8_t t, const KeyMaterial &key = build_key);

// Reads the stamp at the end of the file at `path` (for a signed
// executable, in front of its signature).
VersionStamp read_version_stamp(const std::filesystem::path &path,
                                const KeyMaterial &key = build_key);

// The same from a stream already open on the file; `opened` is true.
VersionStamp read_version_stamp(std::FILE *stream, const KeyMaterial &key = build_key);

// The headers of a Windows executable (PE/COFF) that the stamp's writer
// reads: each offset from the start of its own header, every field little-
// endian. The DOS header names where the "PE\0\0" signature stands; the COFF
// file header follows the signature, the optional header follows that, and
// the section table follows the optional header.
namespace pe {
constexpr std::size_t dos_header_length = 64;
constexpr std::size_t dos_pe_offset = 0x3C; // e_lfanew, 32 bits
constexpr std::size_t signature_length = 4;
constexpr std::size_t coff_header_length = 20;
constexpr std::size_t coff_section_count = 2;         // NumberOfSections, 16 bits
constexpr std::size_t coff_time_stamp = 4;            // TimeDateStamp, 32 bits: never read
constexpr std::size_t coff_symbol_table = 8;          // PointerToSymbolTable, 32 bits
constexpr std::size_t coff_symbol_count = 12;         // NumberOfSymbols, 32 bits
constexpr std::size_t coff_optional_header_size = 16; // SizeOfOptionalHeader, 16 bits
constexpr std::size_t optional_headers_size = 60;     // SizeOfHeaders, in PE32 and PE32+ alike
constexpr std::size_t section_entry_length = 40;
constexpr std::size_t section_raw_size = 16;   // SizeOfRawData, 32 bits
constexpr std::size_t section_raw_offset = 20; // PointerToRawData, 32 bits
// The symbol table's entries; its string table follows it and starts with
// its own length, 32 bits.
constexpr std::size_t symbol_length = 18;
// The optional header's magic (16 bits) tells its two forms apart; their
// data directories (8 bytes each: an address and a size, 32 bits each)
// follow its count of them, 32 bits.
constexpr std::size_t optional_magic = 0;
constexpr std::uint16_t pe32_magic = 0x10B, pe32_plus_magic = 0x20B;
constexpr std::size_t pe32_directory_count = 92, pe32_plus_directory_count = 108;
constexpr std::size_t directory_entry_length = 8;
// The certificate table's entry: an Authenticode signature, whose address
// is a file offset. Signing appends it at the end of the file, after
// padding the file with zero bytes to a multiple of 8.
constexpr std::size_t certificate_directory = 4;
constexpr std::size_t certificate_alignment = 8;
} // namespace pe

// Where the certificate table of a signed executable stands. `entry` is the
// file offset of its directory entry; all zero for a file that is no
// executable or is not signed.
struct CertificateTable {
    std::uint64_t entry, at, length;
};

CertificateTable certificate_table(std::FILE *stream);

// Where the stamp ends in a file of `size` bytes: at its end, or in front
// of the certificate table that ends a signed executable (and the zero
// bytes that padded the file before it was signed).
std::uint64_t stamp_end(std::FILE *stream, std::uint64_t size, const KeyMaterial &key = build_key);

// What a stream holds as a Windows executable.
struct ExecutableImage {
    bool found;                   // "MZ" at its start and "PE\0\0" where the offset at 0x3C points
    const char *damage;           // what of the headers points past the end of the file, or null
    std::uint64_t end;            // past its last section (and its symbol table, where it keeps
                                  // one): anything after that is appended data, its overlay
    CertificateTable certificate; // a signature, at the end of the overlay
};

// Reads the headers of the executable in the stream, `size` bytes long. The
// headers are not trusted: a section, section table or symbol table that
// reaches past the end of the file, or headers larger than the file, make it
// damaged (a file cut short, or forged).
ExecutableImage read_executable_image(std::FILE *stream, std::uint64_t size);

// The stamp's texts are Windows-1252, the ANSI code page of the Western
// Windows whose title shows them. Converts a UTF-8 text to it. Returns false
// on a character that Windows-1252 cannot hold, or on bytes that are not
// UTF-8, and puts that character (or those bytes) in `refused`.
bool windows_1252_from_utf8(const std::string &utf8, std::string &text, std::string &refused);

// A stamp's Windows-1252 text as UTF-8, for printing.
std::string utf8_from_windows_1252(const std::string &text);

// The 46 stamp bytes for the two texts (at most 29 and 10 characters).
void make_version_stamp(const char *version, const char *second, std::uint8_t stamp[stamp_length],
                        const KeyMaterial &key = build_key);

// The base title, one space, then the version text; never longer than the
// 201-byte buffer, and rebuilt from the base title on every call.
void compose_title(const VersionStamp &stamp, char title[title_size]);

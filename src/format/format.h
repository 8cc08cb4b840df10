// The information file's layout and the key material: what the check, the
// content scan, issuing and the version stamp share.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- The information file ----

constexpr const char *info_file_name = "qor.nfo";
constexpr std::uint64_t size_floor = 6000;

// The trailer, counted back from the end of the file: the marker text, the
// 16-symbol authentication code, then two closing bytes that are never read.
constexpr const char marker_text[] = "QOR Authenticity Verification Information: ";
constexpr std::size_t marker_length = sizeof marker_text - 1; // 43
constexpr std::size_t code_length = 16;
constexpr std::size_t closing_length = 2;
constexpr std::size_t trailer_length = marker_length + code_length + closing_length;
constexpr std::size_t marker_offset_from_end = trailer_length;
constexpr std::size_t code_offset_from_end = code_length + closing_length;
static_assert(trailer_length == 61 && code_offset_from_end == 18, "the trailer's layout");

constexpr std::size_t chunk_size = 1024;
// A marker starting later than this in a chunk runs past the read buffer and
// is never recognised.
constexpr std::size_t last_marker_start = chunk_size - marker_length; // 981

// ---- Key material ----

// The scheme's build-time constants; a code or a stamp fits only the key it
// was made under.
struct KeyMaterial {
    std::uint32_t sum_starts[13]; // acc0 to acc11, then acc14
    std::uint32_t acc13_constant;
    std::uint32_t chaining[4]; // A, B, C, D
    std::uint32_t steps[64];   // K0 to K63
    std::uint8_t stamp_signature[5];
    std::uint8_t stamp_addend;
    std::uint8_t stamp_mask;
};

// The key this build was made with (generated from its key file).
extern const KeyMaterial build_key;

// The content's digest: the mixed sums folded into the check value.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "format.h"
#include "scan.h"

struct Digest {
    std::uint32_t a, b, c, d;
};

using CheckValue = std::array<std::uint8_t, 10>;

constexpr std::uint32_t filler_word = 0x12345678;

// One MD5-structured compression of a 16-word block under the given step
// constants.
Digest compress_block(Digest chaining, const std::uint32_t block[16],
                      const std::uint32_t steps[64]);

// The sums and the filler word, compressed once from the chaining start words.
Digest compute_digest(const ContentSums &sums, const KeyMaterial &key = build_key);

// Digest bytes D0..D15 (A first, each word least significant byte first)
// folded to C0..C9.
CheckValue fold_digest(const Digest &digest);

// RFC 1321's MD5 of a whole message: the same compression under MD5's own
// step constants and start words, over the padded message.
std::array<std::uint8_t, 16> md5(const std::uint8_t *message, std::size_t length);

// The content checksum: fifteen keyed 32-bit sums over the information
// file's bytes up to the first recognised marker.
#include <cstring>

#include "verify.h"

ContentSums start_content_sums(const KeyMaterial &key) {
    const std::uint32_t *s = key.sum_starts;
    ContentSums sums = {s[0], s[1], s[2],  s[3],  s[4], s[5], s[6], s[7],
                        s[8], s[9], s[10], s[11], 0,    0,    s[12]};
    sums.acc12 = sums.acc5 + sums.acc2;
    sums.acc13 = sums.acc4 + sums.acc6 + key.acc13_constant;
    return sums;
}

void mix_byte(ContentSums &s, std::uint8_t byte, std::uint32_t j) {
    const std::uint32_t b = byte;
    std::uint32_t t;
    s.acc0 = s.acc0 + b;
    s.acc1 = (s.acc1 << (b & 15)) | b;
    t = s.acc2 + b, s.acc2 = (t * t) ^ b;
    t = s.acc3 + b, s.acc3 = (t * t) ^ b;
    s.acc4 = s.acc4 + (s.acc0 << ((b * b) & 31));
    s.acc5 = ((((s.acc5 | b) << 4) | b) ^ s.acc3) ^ s.acc1;
    s.acc6 = (s.acc6 + b) ^ s.acc1;
    s.acc7 = (s.acc7 << ((b * j) & 31)) + s.acc3;
    s.acc8 = (s.acc8 ^ b) << 1;
    s.acc9 = s.acc9 + b + (s.acc7 % 546) + (s.acc3 % 566) + (s.acc4 % 2083) + (s.acc8 % 1060);
    s.acc10 = (s.acc10 | (b * j)) + (s.acc5 % 131071);
    s.acc11 = (s.acc11 + (b ^ j)) << 3;
    s.acc12 = (s.acc12 << (b & 3)) + (b % 24);
    s.acc13 = (s.acc13 ^ b) + (s.acc10 % 56) - (s.acc12 & 3) + (s.acc1 % 4946);
    // acc7 mod b has no value for a zero byte; it counts as 0 there, in the
    // issuer as in the verifier.
    s.acc14 = ((s.acc14 | (b * b)) ^ b) + (s.acc2 % 2104) + (b ? s.acc7 % b : 0);
}

namespace {

// b mod 24, b * b and the low five bits of b * b, for every byte value.
struct ByteTables {
    std::uint8_t mod24[256];
    std::uint32_t square[256];
    std::uint8_t square_shift[256];
};

constexpr ByteTables make_byte_tables() {
    ByteTables t = {};
    for (std::uint32_t b = 0; b < 256; ++b) {
        t.mod24[b] = static_cast<std::uint8_t>(b % 24);
        t.square[b] = b * b;
        t.square_shift[b] = static_cast<std::uint8_t>((b * b) & 31);
    }
    return t;
}

constexpr ByteTables tables = make_byte_tables();

constexpr std::size_t block_size = 256;

// The per-byte words that the remainders of a block need. Pass 1 fills them,
// pass 2 turns them into the terms that pass 3 adds.
struct BlockWords {
    std::uint32_t w1[block_size], w2[block_size], w3[block_size], w4[block_size], w5[block_size],
        w7[block_size], w8[block_size];
};

// Pass 2: the remainders, each a function of one byte's words only, so the
// loop runs in vector registers. acc9 only adds them up.
[[gnu::always_inline]] inline std::uint32_t remainders(BlockWords &w, const std::uint8_t *bytes,
                                                       std::uint32_t n) {
    std::uint32_t added9 = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        added9 += bytes[i] + w.w7[i] % 546 + w.w3[i] % 566 + w.w4[i] % 2083 + w.w8[i] % 1060;
        w.w5[i] %= 131071;
        w.w3[i] = w.w1[i] % 4946;
        w.w2[i] %= 2104;
    }
    return added9;
}

std::uint32_t remainders_portable(BlockWords &w, const std::uint8_t *bytes, std::uint32_t n) {
    return remainders(w, bytes, n);
}

#if defined(__x86_64__)
// The same loop in 256-bit registers, on processors that have AVX2.
[[gnu::target("avx2")]] std::uint32_t remainders_avx2(BlockWords &w, const std::uint8_t *bytes,
                                                      std::uint32_t n) {
    return remainders(w, bytes, n);
}
#endif

// mix_byte over the bytes at chunk positions begin .. begin + n - 1, with
// exactly its results, in three passes: the cheap recurrences that the
// remainders take their words from; the remainders, which depend on no
// earlier byte; and the recurrences that take a remainder.
void mix_block(ContentSums &sums, const std::uint8_t *buffer, std::uint32_t begin, std::uint32_t n,
               bool vector) {
    BlockWords w;
    ContentSums s = sums;
    const std::uint8_t *bytes = buffer + begin;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t b = bytes[i], j = begin + i;
        std::uint32_t t;
        s.acc0 = s.acc0 + b;
        s.acc1 = (s.acc1 << (b & 15)) | b;
        t = s.acc2 + b, s.acc2 = (t * t) ^ b;
        t = s.acc3 + b, s.acc3 = (t * t) ^ b;
        s.acc4 = s.acc4 + (s.acc0 << tables.square_shift[b]);
        s.acc5 = ((((s.acc5 | b) << 4) | b) ^ s.acc3) ^ s.acc1;
        s.acc7 = (s.acc7 << ((b * j) & 31)) + s.acc3;
        s.acc8 = (s.acc8 ^ b) << 1;
        w.w1[i] = s.acc1, w.w2[i] = s.acc2, w.w3[i] = s.acc3, w.w4[i] = s.acc4;
        w.w5[i] = s.acc5, w.w7[i] = s.acc7, w.w8[i] = s.acc8;
    }
#if defined(__x86_64__)
    s.acc9 += vector ? remainders_avx2(w, bytes, n) : remainders_portable(w, bytes, n);
#else
    (void)vector;
    s.acc9 += remainders_portable(w, bytes, n);
#endif
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t b = bytes[i], j = begin + i;
        s.acc6 = (s.acc6 + b) ^ w.w1[i];
        s.acc10 = (s.acc10 | (b * j)) + w.w5[i];
        s.acc12 = (s.acc12 << (b & 3)) + tables.mod24[b];
        s.acc13 = (s.acc13 ^ b) + (s.acc10 % 56) - (s.acc12 & 3) + w.w3[i];
        s.acc14 = ((s.acc14 | tables.square[b]) ^ b) + w.w2[i] + (b ? w.w7[i] % b : 0);
    }
    // acc11 shifts left by 3 for every byte, so everything older than the
    // last 11 bytes, its start value included, has left its 32 bits.
    std::uint32_t first = n > 11 ? n - 11 : 0;
    for (std::uint32_t i = first; i < n; ++i)
        s.acc11 = (s.acc11 + (bytes[i] ^ (begin + i))) << 3;
    sums = s;
}

} // namespace

std::size_t find_marker(const std::uint8_t buffer[chunk_size], std::size_t delivered) {
    // A window is compared only where it starts with the marker's first
    // character, which occurs nowhere else in the marker. Past 981 a window
    // ends in repeats of the buffer's last byte and never matches.
    std::size_t limit = delivered < last_marker_start + 1 ? delivered : last_marker_start + 1;
    for (std::size_t j = 0; j < limit; ++j) {
        const void *candidate = std::memchr(buffer + j, marker_text[0], limit - j);
        if (!candidate)
            break;
        j = static_cast<std::size_t>(static_cast<const std::uint8_t *>(candidate) - buffer);
        if (std::memcmp(buffer + j, marker_text, marker_length) == 0)
            return j;
    }
    return delivered;
}

bool vector_mixing_available() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

void mix_chunk(ContentSums &sums, const std::uint8_t buffer[chunk_size], std::size_t count,
               bool vector) {
    for (std::uint32_t begin = 0; begin < count; begin += block_size) {
        std::size_t n = count - begin < block_size ? count - begin : block_size;
        mix_block(sums, buffer, begin, static_cast<std::uint32_t>(n), vector);
    }
}

std::size_t scan_chunk(ContentSums &sums, const std::uint8_t buffer[chunk_size],
                       std::size_t delivered) {
    static const bool vector = vector_mixing_available();
    std::size_t stop = find_marker(buffer, delivered);
    mix_chunk(sums, buffer, stop, vector);
    return stop;
}

std::uint64_t scan_content(std::FILE *stream, ContentSums &sums) {
    // Zero before the first read, so that a stream shorter than one chunk
    // never completes a window from undefined bytes. Later reads leave the
    // previous chunk's bytes past the end of what they deliver, and a window
    // in a short last chunk is completed from them.
    std::uint8_t buffer[chunk_size] = {};
    std::uint64_t summed = 0;
    for (;;) {
        std::size_t delivered = std::fread(buffer, 1, chunk_size, stream);
        if (delivered == 0)
            return summed;
        std::size_t stop = scan_chunk(sums, buffer, delivered);
        summed += stop;
        if (stop < delivered)
            return summed;
    }
}

// The portable variant of the content checksum's fast path: mix_byte over
// chunks, with exactly its results, in blocks of 256 bytes and three passes (pass 1
// runs the recurrences that the remainders take their words from and stores
// those words; pass 2 takes the remainders, each a function of one byte's
// stored words, so that its loop runs in vector registers; pass 3 runs the
// recurrences that add a remainder, reading it where the rule computes it),.
#include <algorithm>

#include "mix.h"

namespace {

// b mod 24, b × b and (b × b) and 31 for every byte value: pass 3's chains
// load them instead of waiting on a multiply, and b mod 24 costs no
// multiply-high and shift.
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

// For each byte of a block: the words as updated for that byte that pass 2
// and pass 3 read (filled by pass 1), and the remainders pass 3 adds (filled
// by pass 2).
struct BlockTerms {
    std::uint32_t acc1[block_size], acc2[block_size], acc3[block_size], acc4[block_size],
        acc5[block_size], acc7[block_size], acc8[block_size];
    std::uint32_t acc1_mod_4946[block_size], acc14_addend[block_size], acc5_mod_131071[block_size];
};

// x mod b for every byte b, from two multiplies: the low 64 bits of x ×
// ceil(2^64 / b) are the fraction x / b − floor(x / b) to 64 bits, whose
// product with b has x mod b above its low 64 bits, exact for every x below
// 2^32. b = 0 has 0 in the table, which leaves 0, as acc7 mod 0 counts.
struct ByteReciprocals {
    std::uint64_t of[256];
};

constexpr ByteReciprocals make_byte_reciprocals() {
    ByteReciprocals t = {};
    for (std::uint64_t b = 1; b < 256; ++b)
        t.of[b] = UINT64_MAX / b + 1;
    return t;
}

constexpr ByteReciprocals byte_reciprocals = make_byte_reciprocals();

__extension__ using Product = unsigned __int128;

inline std::uint32_t remainder_by_byte(std::uint32_t x, std::uint8_t b) {
    const std::uint64_t fraction = byte_reciprocals.of[b] * x;
    return static_cast<std::uint32_t>((static_cast<Product>(fraction) * b) >> 64);
}

// x mod 131071 by folding, as the lanes take it (lanes_kernel.inc): 2^17 leaves 1,
// so the bits from 17 up fold onto the low ones; twice brings any word to at
// most 131072. The compiler's multiply-high costs more in its vector loop.
constexpr std::uint32_t remainder_131071(std::uint32_t x) {
    x = (x & 0x1FFFF) + (x >> 17);
    x = (x & 0x1FFFF) + (x >> 17);
    return x >= 131071 ? x - 131071 : x;
}
static_assert(remainder_131071(0xFFFFFFFF) == 0xFFFFFFFFu % 131071 &&
                  remainder_131071(131071) == 0 && remainder_131071(131072) == 1 &&
                  remainder_131071(2 * 131071 - 1) == 131070 &&
                  remainder_131071(0xFFFE0001) == 0xFFFE0001u % 131071,
              "folding leaves the remainder for the words at its edges");

// Pass 2. Every remainder here depends on one byte's words only, so no
// iteration waits on another; those by a constant have a loop of their own,
// which runs in vector registers. acc9 only adds its terms and no rule reads
// it, so its whole increment for the block is summed here.
[[gnu::always_inline]] inline std::uint32_t remainders(BlockTerms &w, const std::uint8_t *bytes,
                                                       std::uint32_t n) {
    // acc9's remainders as the sum of the words less d times the sum of
    // quotients, which saves multiplying back word by word.
    std::uint32_t sum = 0, quotients546 = 0, quotients566 = 0, quotients2083 = 0, quotients1060 = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        sum += bytes[i] + w.acc7[i] + w.acc3[i] + w.acc4[i] + w.acc8[i];
        quotients546 += w.acc7[i] / 546, quotients566 += w.acc3[i] / 566;
        quotients2083 += w.acc4[i] / 2083, quotients1060 += w.acc8[i] / 1060;
        w.acc1_mod_4946[i] = w.acc1[i] % 4946;
        w.acc14_addend[i] = w.acc2[i] % 2104;
        w.acc5_mod_131071[i] = remainder_131071(w.acc5[i]);
    }
    for (std::uint32_t i = 0; i < n; ++i)
        w.acc14_addend[i] += remainder_by_byte(w.acc7[i], bytes[i]);
    return sum - 546 * quotients546 - 566 * quotients566 - 2083 * quotients2083 -
           1060 * quotients1060;
}

// mix_byte over the bytes at chunk positions begin .. begin + n - 1.
[[gnu::always_inline]] inline void mix_block(ContentSums &sums, const std::uint8_t *buffer,
                                             std::uint32_t begin, std::uint32_t n) {
    BlockTerms w;
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
        w.acc1[i] = s.acc1, w.acc2[i] = s.acc2, w.acc3[i] = s.acc3, w.acc4[i] = s.acc4;
        w.acc5[i] = s.acc5, w.acc7[i] = s.acc7, w.acc8[i] = s.acc8;
    }
    s.acc9 += remainders(w, bytes, n);
    // acc6 needs no remainder, only the stored acc1, so it may run in any
    // pass after pass 1; it runs here so that pass 1 holds just the words
    // that pass 2 needs.
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t b = bytes[i], j = begin + i;
        s.acc6 = (s.acc6 + b) ^ w.acc1[i];
        s.acc10 = (s.acc10 | (b * j)) + w.acc5_mod_131071[i];
        s.acc12 = (s.acc12 << (b & 3)) + tables.mod24[b];
        s.acc13 = (s.acc13 ^ b) + (s.acc10 % 56) - (s.acc12 & 3) + w.acc1_mod_4946[i];
        s.acc14 = ((s.acc14 | tables.square[b]) ^ b) + w.acc14_addend[i];
    }
    // acc11 shifts left by 3 for every byte, so everything older than the
    // last 11 bytes, its start value included, has left its 32 bits.
    std::uint32_t first = n > 11 ? n - 11 : 0;
    for (std::uint32_t i = first; i < n; ++i)
        s.acc11 = (s.acc11 + (bytes[i] ^ (begin + i))) << 3;
    sums = s;
}

// mix_byte over consecutive chunks, in blocks. Each variant compiles it for
// its own instructions.
[[gnu::always_inline]] inline void mix_in_blocks(ContentSums &sums, const std::uint8_t *buffer,
                                                 std::size_t count) {
    for (; count > 0; buffer += chunk_size, count -= std::min(count, chunk_size))
        for (std::uint32_t begin = 0; begin < std::min(count, chunk_size); begin += block_size) {
            std::size_t n = std::min({count - begin, chunk_size - begin, block_size});
            mix_block(sums, buffer, begin, static_cast<std::uint32_t>(n));
        }
}

} // namespace

void mix_portable(ContentSums &sums, const std::uint8_t *buffer, std::size_t count) {
    mix_in_blocks(sums, buffer, count);
}

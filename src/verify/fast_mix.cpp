// The fast path of the content checksum: mix_byte over a chunk, with exactly
// its results. Two ways: in blocks of 256 bytes and three passes (pass 1
// runs the recurrences that the remainders take their words from and stores
// those words; pass 2 takes the remainders, each a function of one byte's
// stored words, so that its loop runs in vector registers; pass 3 runs the
// recurrences that add a remainder, reading it where the rule computes it),
// or a whole chunk in 16 lanes side by side (further down).
#include <atomic>
#include <string_view>

#include "scan.h"

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

// Pass 2. Every remainder here is by a constant and depends on one byte's
// words only, so no iteration waits on another. acc9 only adds its terms and
// no rule reads it, so its whole increment for the block is summed here.
[[gnu::always_inline]] inline std::uint32_t remainders(BlockTerms &w, const std::uint8_t *bytes,
                                                       std::uint32_t n) {
    std::uint32_t acc9_increment = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        acc9_increment +=
            bytes[i] + w.acc7[i] % 546 + w.acc3[i] % 566 + w.acc4[i] % 2083 + w.acc8[i] % 1060;
        w.acc1_mod_4946[i] = w.acc1[i] % 4946;
        // acc7 mod b, through a division in double precision: for a
        // dividend below 2^32 and a divisor below 256 the quotient is at
        // least 1/255 from the next integer, far more than the rounding
        // error, so truncating it is exact. A zero byte divides by 1, which
        // leaves 0, as acc7 mod 0 counts.
        const std::uint32_t divisor = bytes[i] + (bytes[i] == 0);
        const auto quotient = static_cast<std::uint32_t>(static_cast<double>(w.acc7[i]) / divisor);
        w.acc14_addend[i] = w.acc2[i] % 2104 + (w.acc7[i] - quotient * divisor);
        w.acc5_mod_131071[i] = w.acc5[i] % 131071;
    }
    return acc9_increment;
}

using Remainders = std::uint32_t (*)(BlockTerms &, const std::uint8_t *, std::uint32_t);

// mix_byte over the bytes at chunk positions begin .. begin + n - 1.
void mix_block(ContentSums &sums, const std::uint8_t *buffer, std::uint32_t begin, std::uint32_t n,
               Remainders take_remainders) {
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
    s.acc9 += take_remainders(w, bytes, n);
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

// ---- A whole chunk in lanes ----
//
// A full chunk is split into 16 lanes of 64 bytes, which run side by side,
// one byte of every lane per step, so that each step is one vector operation
// per rule. What a lane cannot know, the state at its start, is either not
// needed or put right afterwards; each fact that allows it is stated where
// it is used. Only acc6, acc10, acc13 and acc14 stay serial, over the chunk
// in byte order, with every term they add taken beforehand. The lanes pay
// where a register holds all 16 (AVX-512); with AVX2's eight they measured
// slower than the blocks above, which AVX2 and the portable code keep.

constexpr std::uint32_t lanes = 16, lane_bytes = chunk_size / lanes;

// x << n for any n, 0 from 32 on.
inline std::uint32_t shift_left(std::uint32_t x, std::uint32_t n) { return n < 32 ? x << n : 0; }

// Per step i and lane l, at [i][l]: the words after that byte.
struct LaneTerms {
    std::uint32_t byte[lane_bytes][lanes];
    std::uint32_t acc1[lane_bytes][lanes], acc2[lane_bytes][lanes], acc3[lane_bytes][lanes],
        acc4[lane_bytes][lanes], acc7[lane_bytes][lanes], acc8[lane_bytes][lanes],
        acc12[lane_bytes][lanes];
    std::uint32_t acc1_shift[lane_bytes][lanes], acc4_factor[lane_bytes][lanes],
        acc7_shift[lane_bytes][lanes], acc12_shift[lane_bytes][lanes];
    // What the serial words add, per byte.
    std::uint32_t acc5_mod_131071[lane_bytes][lanes], acc13_addend[lane_bytes][lanes],
        acc14_addend[lane_bytes][lanes];
    // acc10 per byte, in byte order, [l][i]; then acc10 mod 56.
    std::uint32_t acc10[lanes][lane_bytes];
};

[[gnu::always_inline]] inline void mix_lanes(ContentSums &sums,
                                             const std::uint8_t buffer[chunk_size], LaneTerms &w) {
    ContentSums &s = sums;
    for (std::uint32_t i = 0; i < lane_bytes; ++i)
        for (std::uint32_t l = 0; l < lanes; ++l)
            w.byte[i][l] = buffer[l * lane_bytes + i];

    // acc2 and acc3 forget their start. t × t has t's parity and the xor
    // with b undoes the parity change that adding b made, so the lowest bit
    // never changes; and two states that agree in their lowest v >= 1 bits
    // agree in v + 1 after a step, since (t + d)² − t² = 2td + d². So 31
    // steps over the bytes before a lane, from its parity, give the exact
    // state at the lane's start. Lane 0 has it exact already.
    std::uint32_t x2[lanes], x3[lanes];
    for (std::uint32_t l = 0; l < lanes; ++l)
        x2[l] = s.acc2 & 1, x3[l] = s.acc3 & 1;
    for (std::uint32_t i = lane_bytes - 31; i < lane_bytes; ++i)
        for (std::uint32_t l = 1; l < lanes; ++l) {
            const std::uint32_t b = w.byte[i][l - 1];
            std::uint32_t t = x2[l] + b;
            x2[l] = (t * t) ^ b;
            t = x3[l] + b;
            x3[l] = (t * t) ^ b;
        }
    x2[0] = s.acc2, x3[0] = s.acc3;

    // The lanes. acc0, acc1, acc4, acc7, acc8 and acc12 compose: from zero
    // in a lane, they are put right afterwards with the state carried in,
    // c, and the lane's total shift S so far (from 32 on, c is gone):
    // acc0 = local + c, acc1 = local | c << S, acc7 and acc12 = local +
    // c << S, acc8 = local ^ c << (steps taken), and acc4 = local + c4 +
    // c0 × the sum of 2^shift over the steps, since every shifted acc0 it
    // added held c0 too.
    std::uint32_t a0[lanes] = {}, a1[lanes] = {}, a4[lanes] = {}, a7[lanes] = {}, a8[lanes] = {},
                  a12[lanes] = {};
    std::uint32_t s1[lanes] = {}, f4[lanes] = {}, s7[lanes] = {}, s12[lanes] = {};
    for (std::uint32_t i = 0; i < lane_bytes; ++i)
        for (std::uint32_t l = 0; l < lanes; ++l) {
            const std::uint32_t b = w.byte[i][l], j = l * lane_bytes + i;
            const std::uint32_t square_shift = (b * b) & 31, acc7_step = (b * j) & 31;
            std::uint32_t t;
            a0[l] = a0[l] + b;
            a1[l] = (a1[l] << (b & 15)) | b;
            s1[l] = s1[l] + (b & 15) < 32 ? s1[l] + (b & 15) : 32;
            t = x2[l] + b, x2[l] = (t * t) ^ b;
            t = x3[l] + b, x3[l] = (t * t) ^ b;
            a4[l] = a4[l] + (a0[l] << square_shift);
            f4[l] = f4[l] + (1u << square_shift);
            a7[l] = (a7[l] << acc7_step) + x3[l];
            s7[l] = s7[l] + acc7_step < 32 ? s7[l] + acc7_step : 32;
            a8[l] = (a8[l] ^ b) << 1;
            a12[l] = (a12[l] << (b & 3)) + b % 24;
            s12[l] = s12[l] + (b & 3) < 32 ? s12[l] + (b & 3) : 32;
            w.acc12[i][l] = a12[l], w.acc12_shift[i][l] = s12[l];
            w.acc1[i][l] = a1[l], w.acc2[i][l] = x2[l];
            w.acc3[i][l] = x3[l], w.acc4[i][l] = a4[l], w.acc7[i][l] = a7[l];
            w.acc8[i][l] = a8[l], w.acc1_shift[i][l] = s1[l], w.acc4_factor[i][l] = f4[l];
            w.acc7_shift[i][l] = s7[l];
        }

    // The state carried into each lane, from the one before it.
    std::uint32_t c0[lanes + 1], c1[lanes + 1], c4[lanes + 1], c7[lanes + 1], c8[lanes + 1],
        c12[lanes + 1];
    c0[0] = s.acc0, c1[0] = s.acc1, c4[0] = s.acc4, c7[0] = s.acc7, c8[0] = s.acc8;
    c12[0] = s.acc12;
    for (std::uint32_t l = 0; l < lanes; ++l) {
        c0[l + 1] = c0[l] + a0[l];
        c1[l + 1] = shift_left(c1[l], s1[l]) | a1[l];
        c4[l + 1] = c4[l] + a4[l] + c0[l] * f4[l];
        c7[l + 1] = shift_left(c7[l], s7[l]) + a7[l];
        c8[l + 1] = a8[l]; // 64 steps have shifted the carry out
        c12[l + 1] = shift_left(c12[l], s12[l]) + a12[l];
    }
    for (std::uint32_t i = 0; i < lane_bytes; ++i)
        for (std::uint32_t l = 0; l < lanes; ++l)
            w.acc1[i][l] = w.acc1[i][l] | shift_left(c1[l], w.acc1_shift[i][l]);

    // acc5 depends on its last 8 steps only: each step shifts it 4 bits up.
    // With acc1 and acc3 right, 8 steps over the bytes before a lane give
    // its state there; lane 0 has it exact. Then, step by step, acc5, the
    // words still to be put right, and the remainders of each byte's words
    // (acc7 mod b exact in double precision, as in the blocks).
    std::uint32_t x5[lanes] = {};
    for (std::uint32_t i = lane_bytes - 8; i < lane_bytes; ++i)
        for (std::uint32_t l = 1; l < lanes; ++l) {
            const std::uint32_t b = w.byte[i][l - 1];
            x5[l] = ((((x5[l] | b) << 4) | b) ^ w.acc3[i][l - 1]) ^ w.acc1[i][l - 1];
        }
    x5[0] = s.acc5;
    std::uint32_t acc9_increment = 0;
    for (std::uint32_t i = 0; i < lane_bytes; ++i)
        for (std::uint32_t l = 0; l < lanes; ++l) {
            const std::uint32_t b = w.byte[i][l];
            x5[l] = ((((x5[l] | b) << 4) | b) ^ w.acc3[i][l]) ^ w.acc1[i][l];
            const std::uint32_t acc4 = w.acc4[i][l] + c4[l] + c0[l] * w.acc4_factor[i][l];
            const std::uint32_t acc7 = w.acc7[i][l] + shift_left(c7[l], w.acc7_shift[i][l]);
            const std::uint32_t acc8 = w.acc8[i][l] ^ shift_left(c8[l], i + 1);
            const std::uint32_t acc12 = w.acc12[i][l] + shift_left(c12[l], w.acc12_shift[i][l]);
            acc9_increment += b + acc7 % 546 + w.acc3[i][l] % 566 + acc4 % 2083 + acc8 % 1060;
            w.acc13_addend[i][l] = w.acc1[i][l] % 4946 - (acc12 & 3);
            w.acc5_mod_131071[i][l] = x5[l] % 131071;
            const std::uint32_t divisor = b + (b == 0);
            const auto quotient = static_cast<std::uint32_t>(static_cast<double>(acc7) / divisor);
            w.acc14_addend[i][l] = w.acc2[i][l] % 2104 + (acc7 - quotient * divisor);
        }

    // The serial words, in byte order. acc13 adds acc10 mod 56: acc10 runs
    // first and keeps its values, their remainders are taken side by side,
    // and acc13 runs last.
    for (std::uint32_t l = 0, j = 0; l < lanes; ++l)
#pragma GCC unroll 4
        for (std::uint32_t i = 0; i < lane_bytes; ++i, ++j) {
            const std::uint32_t b = buffer[j];
            s.acc6 = (s.acc6 + b) ^ w.acc1[i][l];
            s.acc10 = (s.acc10 | (b * j)) + w.acc5_mod_131071[i][l];
            s.acc14 = ((s.acc14 | tables.square[b]) ^ b) + w.acc14_addend[i][l];
            w.acc10[l][i] = s.acc10;
        }
    for (std::uint32_t l = 0; l < lanes; ++l)
        for (std::uint32_t i = 0; i < lane_bytes; ++i)
            w.acc10[l][i] = w.acc10[l][i] % 56;
    for (std::uint32_t l = 0, j = 0; l < lanes; ++l)
#pragma GCC unroll 4
        for (std::uint32_t i = 0; i < lane_bytes; ++i, ++j)
            s.acc13 = (s.acc13 ^ buffer[j]) + w.acc10[l][i] + w.acc13_addend[i][l];
    for (std::uint32_t j = chunk_size - 11; j < chunk_size; ++j)
        s.acc11 = (s.acc11 + (buffer[j] ^ j)) << 3;

    const std::uint32_t i = lane_bytes - 1, l = lanes - 1;
    s.acc0 = c0[lanes], s.acc1 = w.acc1[i][l], s.acc2 = w.acc2[i][l];
    s.acc3 = w.acc3[i][l], s.acc4 = c4[lanes], s.acc5 = x5[l];
    s.acc7 = c7[lanes], s.acc8 = c8[lanes], s.acc12 = c12[lanes];
    s.acc9 += acc9_increment;
}

using MixLanes = void (*)(ContentSums &, const std::uint8_t *, LaneTerms &);

// Full chunks in lanes where the variant has them, a short one in blocks.
template <Remainders take_remainders, MixLanes lanes_pass>
void mix_chunk_with(ContentSums &sums, const std::uint8_t buffer[chunk_size], std::size_t count) {
    if (count == chunk_size && lanes_pass != nullptr) {
        LaneTerms w;
        lanes_pass(sums, buffer, w);
        return;
    }
    for (std::uint32_t begin = 0; begin < count; begin += block_size) {
        std::size_t n = count - begin < block_size ? count - begin : block_size;
        mix_block(sums, buffer, begin, static_cast<std::uint32_t>(n), take_remainders);
    }
}

std::uint32_t remainders_portable(BlockTerms &w, const std::uint8_t *bytes, std::uint32_t n) {
    return remainders(w, bytes, n);
}

bool always() { return true; }

struct Variant {
    const char *name;
    MixChunk mix;
    bool (*runs_here)();
};

// The one place that knows processors: which variants are built, and which
// of them this processor runs.
#if defined(__x86_64__)
[[gnu::target("avx2")]] std::uint32_t remainders_avx2(BlockTerms &w, const std::uint8_t *bytes,
                                                      std::uint32_t n) {
    return remainders(w, bytes, n);
}

// AVX-512 converts unsigned words to and from double precision in one
// instruction each, which the remainder by the byte needs.
[[gnu::target("avx512f,avx512vl,avx512dq,avx512bw")]] std::uint32_t
remainders_avx512(BlockTerms &w, const std::uint8_t *bytes, std::uint32_t n) {
    return remainders(w, bytes, n);
}

[[gnu::target("avx512f,avx512vl,avx512dq,avx512bw")]] void
lanes_avx512(ContentSums &sums, const std::uint8_t *buffer, LaneTerms &w) {
    mix_lanes(sums, buffer, w);
}

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}

constexpr Variant variants[] = {
    {"portable", mix_chunk_with<remainders_portable, nullptr>, always},
    {"avx2", mix_chunk_with<remainders_avx2, nullptr>, has_avx2},
    {"avx512", mix_chunk_with<remainders_avx512, lanes_avx512>, has_avx512},
};
#else
constexpr Variant variants[] = {
    {"portable", mix_chunk_with<remainders_portable, nullptr>, always},
};
#endif

// The variant every scan uses, chosen at the first or forced.
std::atomic<MixChunk> chosen{nullptr};

MixChunk fastest_variant() {
    MixChunk fastest = nullptr;
    for (const Variant &v : variants)
        if (v.runs_here())
            fastest = v.mix;
    return fastest;
}

} // namespace

MixChunk mix_variant(const char *name) {
    for (const Variant &v : variants)
        if (std::string_view(v.name) == name)
            return v.runs_here() ? v.mix : nullptr;
    return nullptr;
}

bool force_mix_variant(const char *name) {
    MixChunk mix = mix_variant(name);
    if (mix)
        chosen = mix;
    return mix != nullptr;
}

void mix_chunk(ContentSums &sums, const std::uint8_t buffer[chunk_size], std::size_t count) {
    MixChunk mix = chosen.load(std::memory_order_relaxed);
    if (!mix)
        chosen = mix = fastest_variant();
    mix(sums, buffer, count);
}

// The lanes on AVX-512: 16 lanes of 64 bytes in one register, with the
// 52-bit multiplies for remainders and ternary logic for acc14.
#if defined(__x86_64__)

// GCC 12's intrinsics start some results from a deliberately undefined
// value, which its own -Wuninitialized then reports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "mix.h"

#define LANES_TARGET __attribute__((target(QOR_AVX512_TARGET), always_inline)) inline

namespace {

using V = __m512i;
constexpr std::uint32_t lanes = 16;

LANES_TARGET V zero() { return _mm512_setzero_si512(); }
LANES_TARGET V splat(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
LANES_TARGET V load(const std::uint32_t *p) { return _mm512_load_si512(p); }
LANES_TARGET void store(std::uint32_t *p, V v) { _mm512_store_si512(p, v); }
LANES_TARGET V add(V a, V b) { return _mm512_add_epi32(a, b); }
LANES_TARGET V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
LANES_TARGET V bit_or(V a, V b) { return _mm512_or_si512(a, b); }
LANES_TARGET V bit_xor(V a, V b) { return _mm512_xor_si512(a, b); }
LANES_TARGET V bit_and(V a, std::uint32_t m) { return _mm512_and_si512(a, splat(m)); }
// x << n, 0 from n = 32 on: a shift total that passes 32 has shifted a
// carried word out.
LANES_TARGET V shift_left(V x, V n) { return _mm512_sllv_epi32(x, n); }
LANES_TARGET V shift_left_by(V x, unsigned n) { return _mm512_slli_epi32(x, n); }
LANES_TARGET V shift_right_by(V x, unsigned n) { return _mm512_srli_epi32(x, n); }
LANES_TARGET V multiply(V a, V b) { return _mm512_mullo_epi32(a, b); }
LANES_TARGET V multiply_low16(V a, V b) { return _mm512_mullo_epi16(a, b); }
LANES_TARGET V multiply_high16(V a, V b) { return _mm512_mulhi_epu16(a, b); }
LANES_TARGET V min_u32(V a, V b) { return _mm512_min_epu32(a, b); }
LANES_TARGET V lane_numbers() {
    return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
// Word k of every lane (its steps 4k to 4k + 3) for every k, from one load
// of each lane's sixteen words, transposed 16 × 16.
LANES_TARGET void words_of_lanes(const std::uint8_t *buffer, V *words) {
    V r[16], t[16], u[16];
    for (std::uint32_t l = 0; l < 16; ++l)
        r[l] = _mm512_loadu_si512(buffer + l * (chunk_size / lanes));
    // t[2i] and t[2i + 1]: lanes 2i and 2i + 1 interleaved.
    for (std::uint32_t i = 0; i < 8; ++i) {
        t[2 * i] = _mm512_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm512_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
    }
    // u[4g + m]: in its 128-bit block b, word 4b + m of lanes 4g to 4g + 3.
    for (std::uint32_t g = 0; g < 4; ++g) {
        u[4 * g] = _mm512_unpacklo_epi64(t[4 * g], t[4 * g + 2]);
        u[4 * g + 1] = _mm512_unpackhi_epi64(t[4 * g], t[4 * g + 2]);
        u[4 * g + 2] = _mm512_unpacklo_epi64(t[4 * g + 1], t[4 * g + 3]);
        u[4 * g + 3] = _mm512_unpackhi_epi64(t[4 * g + 1], t[4 * g + 3]);
    }
    // Block b of each u[4g + m] goes to block g of word 4b + m.
    for (std::uint32_t m = 0; m < 4; ++m) {
        const V low01 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0x44);
        const V high01 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0xEE);
        const V low23 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0x44);
        const V high23 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0xEE);
        words[m] = _mm512_shuffle_i32x4(low01, low23, 0x88);
        words[4 + m] = _mm512_shuffle_i32x4(low01, low23, 0xDD);
        words[8 + m] = _mm512_shuffle_i32x4(high01, high23, 0x88);
        words[12 + m] = _mm512_shuffle_i32x4(high01, high23, 0xDD);
    }
}
// Each lane takes the value of the lane before it; lane 0 takes lane 15's.
LANES_TARGET V from_lane_before(V v) { return _mm512_alignr_epi32(v, v, 15); }
LANES_TARGET V with_lane_0(V v, std::uint32_t x) { return _mm512_mask_mov_epi32(v, 1, splat(x)); }
// The sum of the 64-bit words.
LANES_TARGET std::uint32_t total(V v) {
    return static_cast<std::uint32_t>(_mm512_reduce_add_epi64(v));
}
LANES_TARGET std::uint32_t last_lane(V v) {
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(v, 3), 3));
}

// (b × b) and 31 depends on b mod 16 alone, since (b + 16)² = b² + 32b +
// 256, so a 16-word table holds it.
LANES_TARGET V square_shift(V b) {
    return _mm512_permutexvar_epi32(
        b, _mm512_setr_epi32(0, 1, 4, 9, 16, 25, 4, 17, 0, 17, 4, 25, 16, 9, 4, 1));
}

// Remainders by a constant d, each word a lane of its own, with the 52-bit
// multiplies and c = ceil(2^52 / d), which exceeds 2^52 / d by e / d for
// some e < d. The bits from 52 up of x × c are floor(x / d): they miss x / d
// by x × e / (d × 2^52) < 2^-20, less than the 1 / d that x / d lies below
// the next whole number. The low 52 bits of x × c, times d, have x mod d
// from bit 52 up, exact where c × d − 2^52 ≤ 2^(52 − 32), so for every d
// below 2^20.
struct Divisor {
    std::uint64_t d, c;
};
constexpr Divisor divisor(std::uint64_t d) { return {d, ((std::uint64_t{1} << 52) + d - 1) / d}; }

LANES_TARGET V even_words(V x) { return _mm512_and_si512(x, _mm512_set1_epi64(0xFFFFFFFF)); }
LANES_TARGET V odd_words(V x) { return _mm512_srli_epi64(x, 32); }

LANES_TARGET V remainder(V x, Divisor by) {
    const V zero = _mm512_setzero_si512(), c = _mm512_set1_epi64(static_cast<long long>(by.c)),
            d = _mm512_set1_epi64(static_cast<long long>(by.d));
    V even = _mm512_madd52hi_epu64(zero, _mm512_madd52lo_epu64(zero, even_words(x), c), d);
    V odd = _mm512_madd52hi_epu64(zero, _mm512_madd52lo_epu64(zero, odd_words(x), c), d);
    return bit_or(even, _mm512_slli_epi64(odd, 32));
}

// Adds floor(x / d) of every word to 64-bit sums.
LANES_TARGET V add_quotients(V sums, V x, Divisor by) {
    const V c = _mm512_set1_epi64(static_cast<long long>(by.c));
    sums = _mm512_madd52hi_epu64(sums, even_words(x), c);
    return _mm512_madd52hi_epu64(sums, odd_words(x), c);
}

// x mod b, word by word, for bytes b (0 for b = 0, as acc7 mod 0 counts),
// in single precision and two rounds. r is 1/b to about 2^-22 (a 14-bit
// reciprocal and one Newton step). Round 1: x × r misses x / b by less than
// x × 2^-21 / b, so x − q × b, taken in integers, is within 2^12 of 0 and
// exact as a float. Round 2: that rest times r misses rest / b by less than
// 2^-9 / b, so its floor is the true quotient, or one less where rest / b is
// a whole number; the last step takes b off a remainder of b.
LANES_TARGET V remainder_by_byte(V x, V b) {
    const V divisor = _mm512_max_epu32(b, splat(1));
    const __m512 d = _mm512_cvtepu32_ps(divisor);
    __m512 r = _mm512_rcp14_ps(d);
    r = _mm512_fmadd_ps(r, _mm512_fnmadd_ps(d, r, _mm512_set1_ps(1.0f)), r);
    V q = _mm512_cvtps_epu32(_mm512_mul_ps(_mm512_cvtepu32_ps(x), r));
    V rest = sub(x, _mm512_mullo_epi32(q, divisor));
    q = _mm512_cvt_roundps_epi32(_mm512_mul_ps(_mm512_cvtepi32_ps(rest), r),
                                 _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    rest = sub(rest, _mm512_mullo_epi32(q, divisor));
    return _mm512_min_epu32(rest, sub(rest, divisor));
}

constexpr Divisor by_546 = divisor(546), by_566 = divisor(566), by_2083 = divisor(2083),
                  by_1060 = divisor(1060), by_4946 = divisor(4946), by_2104 = divisor(2104),
                  by_56 = divisor(56);

// acc14's step, ((x | b × b) ^ b) + addend, in a vector register: one
// ternary logic instruction does the or and the xor, so a byte costs its
// chain two instructions instead of three.
using Acc14 = __m128i;
LANES_TARGET Acc14 acc14_start(std::uint32_t x) { return _mm_cvtsi32_si128(static_cast<int>(x)); }
LANES_TARGET std::uint32_t acc14_value(Acc14 x) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
}
LANES_TARGET Acc14 acc14_step(Acc14 x, const std::uint32_t &square, const std::uint32_t &byte,
                              const std::uint32_t &addend) {
    const __m128i mixed = _mm_ternarylogic_epi32(x, _mm_cvtsi32_si128(static_cast<int>(square)),
                                                 _mm_set1_epi32(static_cast<int>(byte)),
                                                 0x56); // (x | y) ^ z
    return _mm_add_epi32(mixed, _mm_set1_epi32(static_cast<int>(addend)));
}

#include "lanes_kernel.inc"

} // namespace

__attribute__((target(QOR_AVX512_TARGET))) void
mix_lanes_avx512(ContentSums &sums, const std::uint8_t *buffer, std::size_t chunks) {
    for (std::size_t k = 0; k < chunks; ++k)
        mix_chunk_in_lanes(sums, buffer + k * chunk_size);
}

__attribute__((target(QOR_AVX512_TARGET))) void remainders_by_byte_avx512(const std::uint32_t x[16],
                                                                          const std::uint32_t b[16],
                                                                          std::uint32_t r[16]) {
    _mm512_storeu_si512(r, remainder_by_byte(_mm512_loadu_si512(x), _mm512_loadu_si512(b)));
}

#endif

// The lanes on AVX2: 8 lanes of 128 bytes in one register. Without 52-bit
// multiplies, remainders by a constant take 32 × 32-bit products; without
// ternary logic, acc14 stays in an integer register.
#if defined(__x86_64__)

#include <immintrin.h>

#include "mix.h"

#define LANES_TARGET __attribute__((target(QOR_AVX2_TARGET), always_inline)) inline

namespace {

using V = __m256i;
constexpr std::uint32_t lanes = 8;

LANES_TARGET V zero() { return _mm256_setzero_si256(); }
LANES_TARGET V splat(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
LANES_TARGET V load(const std::uint32_t *p) {
    return _mm256_load_si256(reinterpret_cast<const V *>(p));
}
LANES_TARGET void store(std::uint32_t *p, V v) { _mm256_store_si256(reinterpret_cast<V *>(p), v); }
LANES_TARGET V add(V a, V b) { return _mm256_add_epi32(a, b); }
LANES_TARGET V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
LANES_TARGET V bit_or(V a, V b) { return _mm256_or_si256(a, b); }
LANES_TARGET V bit_xor(V a, V b) { return _mm256_xor_si256(a, b); }
LANES_TARGET V bit_and(V a, std::uint32_t m) { return _mm256_and_si256(a, splat(m)); }
// x << n, 0 from n = 32 on: a shift total that passes 32 has shifted a
// carried word out.
LANES_TARGET V shift_left(V x, V n) { return _mm256_sllv_epi32(x, n); }
LANES_TARGET V shift_left_by(V x, unsigned n) { return _mm256_slli_epi32(x, static_cast<int>(n)); }
LANES_TARGET V shift_right_by(V x, unsigned n) { return _mm256_srli_epi32(x, static_cast<int>(n)); }
LANES_TARGET V multiply(V a, V b) { return _mm256_mullo_epi32(a, b); }
LANES_TARGET V multiply_low16(V a, V b) { return _mm256_mullo_epi16(a, b); }
LANES_TARGET V multiply_high16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
LANES_TARGET V min_u32(V a, V b) { return _mm256_min_epu32(a, b); }
LANES_TARGET V lane_numbers() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
// Word k of every lane (its steps 4k to 4k + 3) for every k, from loads of
// eight words of each lane, transposed 8 × 8: a gather costs several times
// more here.
LANES_TARGET void words_of_lanes(const std::uint8_t *buffer, V *words) {
    constexpr std::uint32_t lane_bytes = chunk_size / lanes;
    for (std::uint32_t part = 0; part < lane_bytes / sizeof(V); ++part) {
        V r[8], t[8], u[8];
        for (std::uint32_t l = 0; l < 8; ++l)
            r[l] = _mm256_loadu_si256(
                reinterpret_cast<const V *>(buffer + l * lane_bytes + part * sizeof(V)));
        // t[2i] and t[2i + 1]: lanes 2i and 2i + 1 interleaved.
        for (std::uint32_t i = 0; i < 4; ++i) {
            t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
        }
        // u[4g + m]: word m of lanes 4g to 4g + 3 in the low half, m + 4 in
        // the high.
        for (std::uint32_t g = 0; g < 2; ++g) {
            u[4 * g] = _mm256_unpacklo_epi64(t[4 * g], t[4 * g + 2]);
            u[4 * g + 1] = _mm256_unpackhi_epi64(t[4 * g], t[4 * g + 2]);
            u[4 * g + 2] = _mm256_unpacklo_epi64(t[4 * g + 1], t[4 * g + 3]);
            u[4 * g + 3] = _mm256_unpackhi_epi64(t[4 * g + 1], t[4 * g + 3]);
        }
        for (std::uint32_t m = 0; m < 4; ++m) {
            words[8 * part + m] = _mm256_permute2x128_si256(u[m], u[m + 4], 0x20);
            words[8 * part + m + 4] = _mm256_permute2x128_si256(u[m], u[m + 4], 0x31);
        }
    }
}
// Each lane takes the value of the lane before it; lane 0 takes lane 7's.
LANES_TARGET V from_lane_before(V v) {
    return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6));
}
LANES_TARGET V with_lane_0(V v, std::uint32_t x) { return _mm256_blend_epi32(v, splat(x), 1); }
// The sum of the 64-bit words.
LANES_TARGET std::uint32_t total(V v) {
    alignas(32) std::uint64_t w[lanes / 2];
    _mm256_store_si256(reinterpret_cast<V *>(w), v);
    return static_cast<std::uint32_t>(w[0] + w[1] + w[2] + w[3]);
}
LANES_TARGET std::uint32_t last_lane(V v) {
    return static_cast<std::uint32_t>(_mm256_extract_epi32(v, 7));
}

LANES_TARGET V square_shift(V b) { return bit_and(multiply_low16(b, b), 31); }

// Quotients by a constant d from 32 × 32-bit products: floor(x / d) is
// (x >> pre) × m >> (32 + shift) with m = ceil(2^(32 + shift) / (d >> pre))
// below 2^32, exact where m × (d >> pre) − 2^(32 + shift) times the largest
// x >> pre stays below 2^(32 + shift). 546 takes x >> 1 and 273, since
// floor(x / 546) is floor((x >> 1) / 273).
struct Divisor {
    std::uint32_t d, pre, shift;
    std::uint64_t m;
};

constexpr Divisor divisor(std::uint32_t d, std::uint32_t pre, std::uint32_t shift) {
    const std::uint64_t base = d >> pre, power = std::uint64_t{1} << (32 + shift);
    return {d, pre, shift, (power + base - 1) / base};
}

constexpr bool exact(const Divisor &by) {
    const std::uint64_t base = by.d >> by.pre, power = std::uint64_t{1} << (32 + by.shift);
    const std::uint64_t largest = 0xFFFFFFFFu >> by.pre;
    return by.m < (std::uint64_t{1} << 32) && (by.m * base - power) * largest < power;
}

constexpr Divisor by_546 = divisor(546, 1, 8), by_566 = divisor(566, 0, 9),
                  by_2083 = divisor(2083, 0, 11), by_1060 = divisor(1060, 0, 10),
                  by_4946 = divisor(4946, 0, 12), by_2104 = divisor(2104, 0, 11),
                  by_56 = divisor(56, 3, 2);
static_assert(exact(by_546) && exact(by_566) && exact(by_2083) && exact(by_1060) &&
                  exact(by_4946) && exact(by_2104) && exact(by_56),
              "a quotient by a constant is exact for every word");

// floor(x / d) of the even words and of the odd ones, each in a 64-bit lane.
struct Quotients {
    V even, odd;
};

LANES_TARGET Quotients quotients(V x, Divisor by) {
    const V m = _mm256_set1_epi64x(static_cast<long long>(by.m));
    x = shift_right_by(x, by.pre);
    return {_mm256_srli_epi64(_mm256_mul_epu32(x, m), static_cast<int>(32 + by.shift)),
            _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), m),
                              static_cast<int>(32 + by.shift))};
}

LANES_TARGET V remainder(V x, Divisor by) {
    const Quotients q = quotients(x, by);
    const V words = _mm256_blend_epi32(q.even, _mm256_slli_epi64(q.odd, 32), 0xAA);
    return sub(x, multiply(words, splat(by.d)));
}

// Adds floor(x / d) of every word to 64-bit sums.
LANES_TARGET V add_quotients(V sums, V x, Divisor by) {
    const Quotients q = quotients(x, by);
    return _mm256_add_epi64(sums, _mm256_add_epi64(q.even, q.odd));
}

// x mod b, word by word, for bytes b (0 for b = 0 and b = 1, as x mod 1 and
// acc7 mod 0 are 0), in single precision and two rounds, as on AVX-512
// (mix_avx512.cpp states the bounds). The conversions here are signed:
// x enters as 2 × (x >> 1), close enough for round 1, and the divisor is at
// least 2, and round 1's quotient is capped just below 2^31, which leaves
// its rest small for the largest words too. r is a 12-bit reciprocal after
// one Newton step.
LANES_TARGET V remainder_by_byte(V x, V b) {
    const V divisor = _mm256_max_epu32(b, splat(2));
    const __m256 d = _mm256_cvtepi32_ps(divisor);
    __m256 r = _mm256_rcp_ps(d);
    r = _mm256_fmadd_ps(r, _mm256_fnmadd_ps(d, r, _mm256_set1_ps(1.0f)), r);
    const __m256 approximate =
        _mm256_mul_ps(_mm256_cvtepi32_ps(shift_right_by(x, 1)), _mm256_set1_ps(2.0f));
    V q = _mm256_cvtps_epi32(
        _mm256_min_ps(_mm256_mul_ps(approximate, r), _mm256_set1_ps(2147483520.0f)));
    V rest = sub(x, multiply(q, divisor));
    q = _mm256_cvttps_epi32(_mm256_floor_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(rest), r)));
    rest = sub(rest, multiply(q, divisor));
    rest = min_u32(rest, sub(rest, divisor));
    return _mm256_and_si256(rest, _mm256_cmpgt_epi32(b, splat(1)));
}

// acc14 in an integer register: ((x | b × b) ^ b) + addend.
using Acc14 = std::uint32_t;
LANES_TARGET Acc14 acc14_start(std::uint32_t x) { return x; }
LANES_TARGET std::uint32_t acc14_value(Acc14 x) { return x; }
LANES_TARGET Acc14 acc14_step(Acc14 x, std::uint32_t square, std::uint32_t byte,
                              std::uint32_t addend) {
    return ((x | square) ^ byte) + addend;
}

#include "lanes_kernel.inc"

} // namespace

__attribute__((target(QOR_AVX2_TARGET))) void
mix_lanes_avx2(ContentSums &sums, const std::uint8_t *buffer, std::size_t chunks) {
    for (std::size_t k = 0; k < chunks; ++k)
        mix_chunk_in_lanes(sums, buffer + k * chunk_size);
}

__attribute__((target(QOR_AVX2_TARGET))) void
remainders_by_byte_avx2(const std::uint32_t x[8], const std::uint32_t b[8], std::uint32_t r[8]) {
    _mm256_storeu_si256(reinterpret_cast<V *>(r),
                        remainder_by_byte(_mm256_loadu_si256(reinterpret_cast<const V *>(x)),
                                          _mm256_loadu_si256(reinterpret_cast<const V *>(b))));
}

#endif

// A whole chunk in 16 lanes of 64 bytes, on AVX-512: one byte of every lane
// per step, each rule one vector operation for all 16 lanes, its state held
// in registers. What a lane cannot know, the state at its start, is either
// not needed or put right; each fact that allows it is stated where it is
// used. Only acc6, acc10, acc13 and acc14 stay serial, over the chunk in byte
// order, with every term they add taken beforehand.
//
// The passes: the bytes are turned into lanes; pass 1 runs each lane from
// zero and sums up what it does to the words that compose; the state carried
// into each lane follows from those sums; pass 2 runs every lane from its
// exact state and takes the remainders; the serial words come last.
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

#include "scan.h"

#define LANES_TARGET                                                                               \
    __attribute__((target("avx512f,avx512vl,avx512dq,avx512bw,avx512ifma"), always_inline)) inline

namespace {

using V = __m512i;
constexpr std::uint32_t lanes = 16, steps = chunk_size / lanes;

LANES_TARGET V splat(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
LANES_TARGET V add(V a, V b) { return _mm512_add_epi32(a, b); }
LANES_TARGET V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
LANES_TARGET V bit_or(V a, V b) { return _mm512_or_si512(a, b); }
LANES_TARGET V bit_xor(V a, V b) { return _mm512_xor_si512(a, b); }
LANES_TARGET V bit_and(V a, std::uint32_t m) { return _mm512_and_si512(a, splat(m)); }
// x << n, 0 from n = 32 on: a shift total that passes 32 has shifted a
// carried word out.
LANES_TARGET V shift_left(V x, V n) { return _mm512_sllv_epi32(x, n); }
// (t + b)² xor b, the step of acc2 and acc3.
LANES_TARGET V square_step(V x, V b) {
    V t = add(x, b);
    return bit_xor(_mm512_mullo_epi32(t, t), b);
}
// Each lane takes the value of the lane before it; lane 0 takes lane 15's.
LANES_TARGET V from_lane_before(V v) { return _mm512_alignr_epi32(v, v, 15); }
LANES_TARGET V with_lane_0(V v, std::uint32_t x) { return _mm512_mask_mov_epi32(v, 1, splat(x)); }
LANES_TARGET std::uint32_t total(V v) {
    return static_cast<std::uint32_t>(_mm512_reduce_add_epi64(v));
}
LANES_TARGET std::uint32_t lane_15(V v) {
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(v, 3), 3));
}

// b mod 24 for bytes: the quotient is (b × 2731) >> 16 for every b below 256.
LANES_TARGET V byte_mod_24(V b) {
    V quotient = _mm512_mulhi_epu16(b, splat(2731));
    return sub(b, _mm512_mullo_epi16(quotient, splat(24)));
}

// (b × b) and 31, and 2 to that power: both depend on b mod 16 alone, since
// (b + 16)² = b² + 32b + 256, so a 16-word table holds them.
LANES_TARGET V square_shift(V b) {
    return _mm512_permutexvar_epi32(
        b, _mm512_setr_epi32(0, 1, 4, 9, 16, 25, 4, 17, 0, 17, 4, 25, 16, 9, 4, 1));
}
LANES_TARGET V power_of_square_shift(V b) { return shift_left(splat(1), square_shift(b)); }

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

// x mod 131071, which is 2^17 − 1: 2^17 leaves 1, so the bits from 17 up
// fold onto the low ones. Twice brings any word to at most 131071, which
// leaves 0.
LANES_TARGET V remainder_131071(V x) {
    x = add(bit_and(x, 0x1FFFF), _mm512_srli_epi32(x, 17));
    x = add(bit_and(x, 0x1FFFF), _mm512_srli_epi32(x, 17));
    return _mm512_min_epu32(x, sub(x, splat(131071)));
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
                  by_1060 = divisor(1060), by_4946 = divisor(4946), by_2104 = divisor(2104);

// What pass 2 leaves for the serial words, per step and lane ([i][l], byte
// 64 l + i).
struct Terms {
    alignas(64) std::uint32_t byte[steps][lanes];
    alignas(64) std::uint32_t acc1[steps][lanes];
    alignas(64) std::uint32_t byte_times_j[steps][lanes];
    alignas(64) std::uint32_t acc10_addend[steps][lanes];
    alignas(64) std::uint32_t acc13_addend[steps][lanes];
    // acc14's or with b × b, then xor with b, as an and and one xor.
    alignas(64) std::uint32_t not_square[steps][lanes];
    alignas(64) std::uint32_t square_xor_byte[steps][lanes];
    alignas(64) std::uint32_t acc14_addend[steps][lanes];
};

// acc14's step, (x & ~(b × b)) ^ ((b × b) ^ b) + addend, in a vector
// register: one ternary logic instruction does the and and the xor, so a
// byte costs its chain two instructions instead of three.
LANES_TARGET __m128i acc14_step(__m128i x, const std::uint32_t &not_square,
                                const std::uint32_t &square_xor_byte, const std::uint32_t &addend) {
    const __m128i masked =
        _mm_ternarylogic_epi32(x, _mm_cvtsi32_si128(static_cast<int>(not_square)),
                               _mm_set1_epi32(static_cast<int>(square_xor_byte)),
                               0x6A); // (x & y) ^ z
    return _mm_add_epi32(masked, _mm_set1_epi32(static_cast<int>(addend)));
}

// The serial words, in byte order; a lane's terms are column l of each
// table.
LANES_TARGET void mix_serial(ContentSums &sums, const Terms &w) {
    std::uint32_t acc6 = sums.acc6, acc10 = sums.acc10, acc13 = sums.acc13;
    __m128i acc14 = _mm_cvtsi32_si128(static_cast<int>(sums.acc14));
    for (std::size_t l = 0; l < lanes; ++l) {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < steps; ++i) {
            const std::uint32_t b = w.byte[i][l];
            acc6 = (acc6 + b) ^ w.acc1[i][l];
            acc10 = (acc10 | w.byte_times_j[i][l]) + w.acc10_addend[i][l];
            acc13 = (acc13 ^ b) + (acc10 % 56 + w.acc13_addend[i][l]);
            // (x | s) ^ b is (x & ~s) ^ (s ^ b), since x & ~s and s share
            // no bit.
            acc14 = acc14_step(acc14, w.not_square[i][l], w.square_xor_byte[i][l],
                               w.acc14_addend[i][l]);
        }
    }
    sums.acc6 = acc6, sums.acc10 = acc10, sums.acc13 = acc13;
    sums.acc14 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(acc14));
}

LANES_TARGET void mix_chunk_in_lanes(ContentSums &s, const std::uint8_t *buffer) {

    // The bytes in lanes: step i of lane l is chunk position 64 l + i. A
    // gather fetches word k of every lane, which holds steps 4k to 4k + 3.
    Terms w;
    for (std::uint32_t k = 0; k < steps / 4; ++k) {
        const V at = add(_mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                                              12, 13, 14, 15),
                                            splat(steps / 4)),
                         splat(k));
        const V words = _mm512_i32gather_epi32(at, buffer, 4);
        for (std::uint32_t m = 0; m < 4; ++m)
            _mm512_store_si512(w.byte[4 * k + m], bit_and(_mm512_srli_epi32(words, 8 * m), 0xFF));
    }

    // acc2 and acc3 forget their start. t × t has t's parity and the xor
    // with b undoes the parity change that adding b made, so the lowest bit
    // never changes; and two states that agree in their lowest v >= 1 bits
    // agree in v + 1 after a step, since (t + d)² − t² = 2td + d². So 31
    // steps over the bytes before a lane, from its parity, give the exact
    // state at the lane's start. acc8 shifts one bit up a step, so 32 steps
    // from zero give it exact. Lane 0 has all three exact already.
    V acc2 = splat(s.acc2 & 1), acc3 = splat(s.acc3 & 1), acc8 = _mm512_setzero_si512();
    for (std::uint32_t i = steps - 32; i < steps; ++i) {
        const V b = from_lane_before(_mm512_load_si512(w.byte[i]));
        acc2 = square_step(acc2, b);
        acc3 = square_step(acc3, b);
        acc8 = _mm512_slli_epi32(bit_xor(acc8, b), 1);
    }
    acc2 = with_lane_0(acc2, s.acc2), acc3 = with_lane_0(acc3, s.acc3);
    acc8 = with_lane_0(acc8, s.acc8);

    // Pass 1. acc0, acc1, acc4, acc7 and acc12 compose: run from zero in a
    // lane, with the lane's shift total S so far, they are put right with
    // the state c carried in: acc0 = local + c, acc1 = local | c << S, acc7
    // and acc12 = local + c << S, and acc4 = local + c4 + c0 × the sum of
    // 2^shift over the steps, since every acc0 it added held c0 too.
    V acc3_at[steps];
    V local1_at[8], shift1_at[8];
    V acc0 = _mm512_setzero_si512(), acc1 = acc0, acc4 = acc0, acc7 = acc0, acc12 = acc0;
    V shift1 = acc0, factor4 = acc0, shift7 = acc0, shift12 = acc0;
    for (std::uint32_t i = 0; i < steps; ++i) {
        const V b = _mm512_load_si512(w.byte[i]);
        acc0 = add(acc0, b);
        const V step1 = bit_and(b, 15);
        acc1 = bit_or(shift_left(acc1, step1), b);
        shift1 = add(shift1, step1);
        acc3 = acc3_at[i] = square_step(acc3, b);
        acc4 = add(acc4, shift_left(acc0, square_shift(b)));
        factor4 = add(factor4, power_of_square_shift(b));
        // b × j and 31 for j = 64 l + i is b × i and 31, alike in every lane.
        const V step7 = bit_and(_mm512_mullo_epi16(b, splat(i)), 31);
        acc7 = add(shift_left(acc7, step7), acc3);
        shift7 = add(shift7, step7);
        const V step12 = bit_and(b, 3);
        acc12 = add(shift_left(acc12, step12), byte_mod_24(b));
        shift12 = add(shift12, step12);
        if (i >= steps - 8)
            local1_at[i - (steps - 8)] = acc1, shift1_at[i - (steps - 8)] = shift1;
    }

    // The state carried into each lane, from the one before it.
    alignas(64) std::uint32_t a0[lanes], a1[lanes], s1[lanes], a4[lanes], f4[lanes], a7[lanes],
        s7[lanes], a12[lanes], s12[lanes];
    _mm512_store_si512(a0, acc0), _mm512_store_si512(a1, acc1), _mm512_store_si512(s1, shift1);
    _mm512_store_si512(a4, acc4), _mm512_store_si512(f4, factor4), _mm512_store_si512(a7, acc7);
    _mm512_store_si512(s7, shift7), _mm512_store_si512(a12, acc12);
    _mm512_store_si512(s12, shift12);
    alignas(64) std::uint32_t c0[lanes + 1], c1[lanes + 1], c4[lanes + 1], c7[lanes + 1],
        c12[lanes + 1];
    c0[0] = s.acc0, c1[0] = s.acc1, c4[0] = s.acc4, c7[0] = s.acc7, c12[0] = s.acc12;
    auto carried_shift = [](std::uint32_t x, std::uint32_t n) { return n < 32 ? x << n : 0; };
    for (std::uint32_t l = 0; l < lanes; ++l) {
        c0[l + 1] = c0[l] + a0[l];
        c1[l + 1] = carried_shift(c1[l], s1[l]) | a1[l];
        c4[l + 1] = c4[l] + a4[l] + c0[l] * f4[l];
        c7[l + 1] = carried_shift(c7[l], s7[l]) + a7[l];
        c12[l + 1] = carried_shift(c12[l], s12[l]) + a12[l];
    }
    acc0 = _mm512_load_si512(c0), acc1 = _mm512_load_si512(c1), acc4 = _mm512_load_si512(c4);
    acc7 = _mm512_load_si512(c7), acc12 = _mm512_load_si512(c12);

    // acc5 depends on its last 8 steps only: each step shifts it 4 bits up.
    // With acc1 and acc3 right, 8 steps over the bytes before a lane give
    // its state there; lane 0 has it exact.
    V acc5 = _mm512_setzero_si512();
    for (std::uint32_t k = 0; k < 8; ++k) {
        const std::uint32_t i = steps - 8 + k;
        const V exact1 = bit_or(local1_at[k], shift_left(acc1, shift1_at[k]));
        const V b = from_lane_before(_mm512_load_si512(w.byte[i]));
        acc5 = bit_xor(
            bit_xor(bit_or(_mm512_slli_epi32(bit_or(acc5, b), 4), b), from_lane_before(acc3_at[i])),
            from_lane_before(exact1));
    }
    acc5 = with_lane_0(acc5, s.acc5);

    // Pass 2: every lane from its exact state. acc9 only adds, and no rule
    // reads it, so it sums its terms over the chunk: the remainders by a
    // constant as the sum of the words less d times the sum of quotients.
    const V lane_start = _mm512_mullo_epi32(
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), splat(steps));
    V sum9 = _mm512_setzero_si512(), quotients546 = sum9, quotients566 = sum9, quotients2083 = sum9,
      quotients1060 = sum9;
    for (std::uint32_t i = 0; i < steps; ++i) {
        const V b = _mm512_load_si512(w.byte[i]);
        acc0 = add(acc0, b);
        acc1 = bit_or(shift_left(acc1, bit_and(b, 15)), b);
        acc2 = square_step(acc2, b);
        acc3 = acc3_at[i];
        acc4 = add(acc4, shift_left(acc0, square_shift(b)));
        acc5 = bit_xor(bit_xor(bit_or(_mm512_slli_epi32(bit_or(acc5, b), 4), b), acc3), acc1);
        acc7 = add(shift_left(acc7, bit_and(_mm512_mullo_epi16(b, splat(i)), 31)), acc3);
        acc8 = _mm512_slli_epi32(bit_xor(acc8, b), 1);
        acc12 = add(shift_left(acc12, bit_and(b, 3)), byte_mod_24(b));
        sum9 = add(sum9, add(add(b, acc7), add(add(acc3, acc4), acc8)));
        quotients546 = add_quotients(quotients546, acc7, by_546);
        quotients566 = add_quotients(quotients566, acc3, by_566);
        quotients2083 = add_quotients(quotients2083, acc4, by_2083);
        quotients1060 = add_quotients(quotients1060, acc8, by_1060);
        _mm512_store_si512(w.acc1[i], acc1);
        _mm512_store_si512(w.byte_times_j[i], _mm512_mullo_epi32(b, add(lane_start, splat(i))));
        const V square = _mm512_mullo_epi16(b, b);
        _mm512_store_si512(w.not_square[i], _mm512_andnot_si512(square, splat(~0u)));
        _mm512_store_si512(w.square_xor_byte[i], bit_xor(square, b));
        _mm512_store_si512(w.acc10_addend[i], remainder_131071(acc5));
        _mm512_store_si512(w.acc13_addend[i], sub(remainder(acc1, by_4946), bit_and(acc12, 3)));
        _mm512_store_si512(w.acc14_addend[i],
                           add(remainder(acc2, by_2104), remainder_by_byte(acc7, b)));
    }
    s.acc9 += static_cast<std::uint32_t>(_mm512_reduce_add_epi32(sum9)) -
              546 * total(quotients546) - 566 * total(quotients566) - 2083 * total(quotients2083) -
              1060 * total(quotients1060);

    mix_serial(s, w);
    // acc11 shifts left by 3 for every byte, so everything older than the
    // last 11 bytes has left its 32 bits.
    for (std::uint32_t j = chunk_size - 11; j < chunk_size; ++j)
        s.acc11 = (s.acc11 + (buffer[j] ^ j)) << 3;

    s.acc0 = lane_15(acc0), s.acc1 = lane_15(acc1), s.acc2 = lane_15(acc2);
    s.acc3 = lane_15(acc3), s.acc4 = lane_15(acc4), s.acc5 = lane_15(acc5);
    s.acc7 = lane_15(acc7), s.acc8 = lane_15(acc8), s.acc12 = lane_15(acc12);
}

} // namespace

__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw,avx512ifma"))) void
mix_lanes_avx512(ContentSums &sums, const std::uint8_t *buffer, std::size_t chunks) {
    for (std::size_t k = 0; k < chunks; ++k)
        mix_chunk_in_lanes(sums, buffer + k * chunk_size);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw,avx512ifma"))) void
remainders_by_byte_avx512(const std::uint32_t x[16], const std::uint32_t b[16],
                          std::uint32_t r[16]) {
    _mm512_storeu_si512(r, remainder_by_byte(_mm512_loadu_si512(x), _mm512_loadu_si512(b)));
}

#endif

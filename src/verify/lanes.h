// The lanes of the content scan, written once for every vector width: a
// whole chunk in lanes of chunk_size / lanes bytes, one byte of every lane
// per step, each rule one vector operation for all lanes, its state held in
// registers. What a lane cannot know, the state at its start, is either not
// needed or put right; each fact that allows it is stated where it is used.
// Only acc6, acc10, acc13 and acc14 stay serial, over the chunk in byte
// order, with every term they add taken beforehand.
//
// The passes: the bytes are turned into lanes; pass 1 runs each lane from
// zero and sums up what it does to the words that compose; the state carried
// into each lane follows from those sums; pass 2 runs every lane from its
// exact state and takes the remainders; the serial words come last.
//
// A file that includes this defines, in an unnamed namespace and for its
// instructions (LANES_TARGET): V, lanes, zero, splat, load, store, add, sub,
// bit_or, bit_xor, bit_and, shift_left, shift_left_by,
// shift_right_by, multiply, multiply_low16, multiply_high16, min_u32,
// lane_numbers, from_lane_before, with_lane_0, last_lane,
// words_of_lanes, square_shift, remainder, add_quotients, total,
// remainder_by_byte, the divisors by_546, by_566, by_2083, by_1060, by_4946,
// by_2104 and by_56, and Acc14 with acc14_start, acc14_step and acc14_value.
#pragma once

constexpr std::uint32_t steps = chunk_size / lanes;
static_assert(steps % 32 == 0 && steps >= 32, "a lane warms up on the 32 bytes before it");

// The sum of the words, wrapping as acc9 does (the AVX-512 reduction adds
// signed ints, whose overflow is undefined).
LANES_TARGET std::uint32_t sum_words(V v) {
    alignas(sizeof(V)) std::uint32_t w[lanes];
    store(w, v);
    std::uint32_t sum = 0;
    for (std::uint32_t x : w)
        sum += x;
    return sum;
}

// (t + b)² xor b, the step of acc2 and acc3.
LANES_TARGET V square_step(V x, V b) {
    V t = add(x, b);
    return bit_xor(multiply(t, t), b);
}

// b mod 24 for bytes: the quotient is (b × 2731) >> 16 for every b below 256.
LANES_TARGET V byte_mod_24(V b) {
    V quotient = multiply_high16(b, splat(2731));
    return sub(b, multiply_low16(quotient, splat(24)));
}

LANES_TARGET V power_of_square_shift(V b) { return shift_left(splat(1), square_shift(b)); }

// x mod 131071, which is 2^17 − 1: 2^17 leaves 1, so the bits from 17 up
// fold onto the low ones. Twice brings any word to at most 131071, which
// leaves 0.
LANES_TARGET V remainder_131071(V x) {
    x = add(bit_and(x, 0x1FFFF), shift_right_by(x, 17));
    x = add(bit_and(x, 0x1FFFF), shift_right_by(x, 17));
    return min_u32(x, sub(x, splat(131071)));
}

// What pass 2 leaves for the serial words, per step and lane ([i][l], byte
// steps × l + i).
struct Terms {
    alignas(sizeof(V)) std::uint32_t byte[steps][lanes];
    alignas(sizeof(V)) std::uint32_t acc1[steps][lanes];
    alignas(sizeof(V)) std::uint32_t byte_times_j[steps][lanes];
    alignas(sizeof(V)) std::uint32_t acc10_addend[steps][lanes];
    alignas(sizeof(V)) std::uint32_t acc13_addend[steps][lanes];
    alignas(sizeof(V)) std::uint32_t square[steps][lanes];
    alignas(sizeof(V)) std::uint32_t acc14_addend[steps][lanes];
};

// The serial words, in byte order; a lane's terms are column l of each
// table. acc13 runs a lane behind the others: it takes acc10 mod 56, which
// would cost the serial loop most of its instructions, so each lane stores
// its acc10 words, their remainders are taken at once in vector registers,
// and acc13 runs over that lane beside the next one.
LANES_TARGET void mix_serial(ContentSums &sums, const Terms &w) {
    std::uint32_t acc6 = sums.acc6, acc10 = sums.acc10, acc13 = sums.acc13;
    Acc14 acc14 = acc14_start(sums.acc14);
    alignas(sizeof(V)) std::uint32_t acc10_at[steps], acc10_mod_56[steps];
    for (std::size_t l = 0; l < lanes; ++l) {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < steps; ++i) {
            const std::uint32_t b = w.byte[i][l];
            acc6 = (acc6 + b) ^ w.acc1[i][l];
            acc10 = (acc10 | w.byte_times_j[i][l]) + w.acc10_addend[i][l];
            acc14 = acc14_step(acc14, w.square[i][l], w.byte[i][l], w.acc14_addend[i][l]);
            if (l > 0)
                acc13 = (acc13 ^ w.byte[i][l - 1]) + (acc10_mod_56[i] + w.acc13_addend[i][l - 1]);
            acc10_at[i] = acc10;
        }
        for (std::size_t i = 0; i < steps; i += lanes)
            store(acc10_mod_56 + i, remainder(load(acc10_at + i), by_56));
    }
    for (std::size_t i = 0; i < steps; ++i)
        acc13 = (acc13 ^ w.byte[i][lanes - 1]) + (acc10_mod_56[i] + w.acc13_addend[i][lanes - 1]);
    sums.acc6 = acc6, sums.acc10 = acc10, sums.acc13 = acc13;
    sums.acc14 = acc14_value(acc14);
}

LANES_TARGET void mix_chunk_in_lanes(ContentSums &s, const std::uint8_t *buffer) {
    // The bytes in lanes: step i of lane l is chunk position steps × l + i.
    // Word k of every lane holds steps 4k to 4k + 3.
    Terms w;
    V words[steps / 4];
    words_of_lanes(buffer, words);
    for (std::uint32_t k = 0; k < steps / 4; ++k)
        for (std::uint32_t m = 0; m < 4; ++m)
            store(w.byte[4 * k + m], bit_and(shift_right_by(words[k], 8 * m), 0xFF));

    // acc2 and acc3 forget their start. t × t has t's parity and the xor
    // with b undoes the parity change that adding b made, so the lowest bit
    // never changes; and two states that agree in their lowest v >= 1 bits
    // agree in v + 1 after a step, since (t + d)² − t² = 2td + d². So 31
    // steps over the bytes before a lane, from its parity, give the exact
    // state at the lane's start. acc8 shifts one bit up a step, so 32 steps
    // from zero give it exact. Lane 0 has all three exact already.
    V acc2 = splat(s.acc2 & 1), acc3 = splat(s.acc3 & 1), acc8 = zero();
    for (std::uint32_t i = steps - 32; i < steps; ++i) {
        const V b = from_lane_before(load(w.byte[i]));
        acc2 = square_step(acc2, b);
        acc3 = square_step(acc3, b);
        acc8 = shift_left_by(bit_xor(acc8, b), 1);
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
    V acc0 = zero(), acc1 = acc0, acc4 = acc0, acc7 = acc0, acc12 = acc0;
    V shift1 = acc0, factor4 = acc0, shift7 = acc0, shift12 = acc0;
    for (std::uint32_t i = 0; i < steps; ++i) {
        const V b = load(w.byte[i]);
        acc0 = add(acc0, b);
        const V step1 = bit_and(b, 15);
        acc1 = bit_or(shift_left(acc1, step1), b);
        shift1 = add(shift1, step1);
        acc3 = acc3_at[i] = square_step(acc3, b);
        acc4 = add(acc4, shift_left(acc0, square_shift(b)));
        factor4 = add(factor4, power_of_square_shift(b));
        // b × j and 31 for j = steps × l + i is b × i and 31, alike in every
        // lane, since steps is a multiple of 32.
        const V step7 = bit_and(multiply_low16(b, splat(i)), 31);
        acc7 = add(shift_left(acc7, step7), acc3);
        shift7 = add(shift7, step7);
        const V step12 = bit_and(b, 3);
        acc12 = add(shift_left(acc12, step12), byte_mod_24(b));
        shift12 = add(shift12, step12);
        if (i >= steps - 8)
            local1_at[i - (steps - 8)] = acc1, shift1_at[i - (steps - 8)] = shift1;
    }

    // The state carried into each lane, from the one before it.
    alignas(sizeof(V)) std::uint32_t a0[lanes], a1[lanes], s1[lanes], a4[lanes], f4[lanes],
        a7[lanes], s7[lanes], a12[lanes], s12[lanes];
    store(a0, acc0), store(a1, acc1), store(s1, shift1);
    store(a4, acc4), store(f4, factor4), store(a7, acc7);
    store(s7, shift7), store(a12, acc12);
    store(s12, shift12);
    alignas(sizeof(V)) std::uint32_t c0[lanes + 1], c1[lanes + 1], c4[lanes + 1], c7[lanes + 1],
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
    acc0 = load(c0), acc1 = load(c1), acc4 = load(c4);
    acc7 = load(c7), acc12 = load(c12);

    // acc5 depends on its last 8 steps only: each step shifts it 4 bits up.
    // With acc1 and acc3 right, 8 steps over the bytes before a lane give
    // its state there; lane 0 has it exact.
    V acc5 = zero();
    for (std::uint32_t k = 0; k < 8; ++k) {
        const std::uint32_t i = steps - 8 + k;
        const V exact1 = bit_or(local1_at[k], shift_left(acc1, shift1_at[k]));
        const V b = from_lane_before(load(w.byte[i]));
        acc5 = bit_xor(
            bit_xor(bit_or(shift_left_by(bit_or(acc5, b), 4), b), from_lane_before(acc3_at[i])),
            from_lane_before(exact1));
    }
    acc5 = with_lane_0(acc5, s.acc5);

    // Pass 2: every lane from its exact state. acc9 only adds, and no rule
    // reads it, so it sums its terms over the chunk: the remainders by a
    // constant as the sum of the words less d times the sum of quotients.
    const V lane_start = multiply(lane_numbers(), splat(steps));
    V sum9 = zero(), quotients546 = sum9, quotients566 = sum9, quotients2083 = sum9,
      quotients1060 = sum9;
    for (std::uint32_t i = 0; i < steps; ++i) {
        const V b = load(w.byte[i]);
        acc0 = add(acc0, b);
        acc1 = bit_or(shift_left(acc1, bit_and(b, 15)), b);
        acc2 = square_step(acc2, b);
        acc3 = acc3_at[i];
        acc4 = add(acc4, shift_left(acc0, square_shift(b)));
        acc5 = bit_xor(bit_xor(bit_or(shift_left_by(bit_or(acc5, b), 4), b), acc3), acc1);
        acc7 = add(shift_left(acc7, bit_and(multiply_low16(b, splat(i)), 31)), acc3);
        acc8 = shift_left_by(bit_xor(acc8, b), 1);
        acc12 = add(shift_left(acc12, bit_and(b, 3)), byte_mod_24(b));
        sum9 = add(sum9, add(add(b, acc7), add(add(acc3, acc4), acc8)));
        quotients546 = add_quotients(quotients546, acc7, by_546);
        quotients566 = add_quotients(quotients566, acc3, by_566);
        quotients2083 = add_quotients(quotients2083, acc4, by_2083);
        quotients1060 = add_quotients(quotients1060, acc8, by_1060);
        store(w.acc1[i], acc1);
        store(w.byte_times_j[i], multiply(b, add(lane_start, splat(i))));
        store(w.square[i], multiply_low16(b, b));
        store(w.acc10_addend[i], remainder_131071(acc5));
        store(w.acc13_addend[i], sub(remainder(acc1, by_4946), bit_and(acc12, 3)));
        store(w.acc14_addend[i], add(remainder(acc2, by_2104), remainder_by_byte(acc7, b)));
    }
    s.acc9 += sum_words(sum9) - 546 * total(quotients546) - 566 * total(quotients566) -
              2083 * total(quotients2083) - 1060 * total(quotients1060);

    mix_serial(s, w);
    // acc11 shifts left by 3 for every byte, so everything older than the
    // last 11 bytes has left its 32 bits.
    for (std::uint32_t j = chunk_size - 11; j < chunk_size; ++j)
        s.acc11 = (s.acc11 + (buffer[j] ^ j)) << 3;

    s.acc0 = last_lane(acc0), s.acc1 = last_lane(acc1), s.acc2 = last_lane(acc2);
    s.acc3 = last_lane(acc3), s.acc4 = last_lane(acc4), s.acc5 = last_lane(acc5);
    s.acc7 = last_lane(acc7), s.acc8 = last_lane(acc8), s.acc12 = last_lane(acc12);
}

// Inside the content scan: the marker search and the mixing variants of its
// fast path. The tests, the benchmarks and qortool's QOR_MIX_VARIANT reach
// in here; nothing else does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan.h"

// The instruction sets that each vector variant needs, in one place and one
// spelling: its code is compiled for them (the target attribute), and the
// dispatch in mix_dispatch.cpp runs it only where the processor has every one.
#define QOR_AVX2_TARGET "avx2,fma,bmi2"
#define QOR_AVX512_TARGET "avx512f,avx512vl,avx512dq,avx512bw,avx512ifma,bmi2"

// The chunk position of the first marker recognised among the first
// `delivered` positions of a read buffer, which holds the previous read's
// bytes from `delivered` on (the stale buffer, scan.h), or `delivered` when
// there is none.
std::size_t find_marker(const std::uint8_t buffer[chunk_size], std::size_t delivered);

// mix_byte for the first count bytes of consecutive chunks, each byte at its
// position in its chunk (the buffer's offset mod 1024), with exactly its
// results. Every variant has this form.
using MixChunk = void (*)(ContentSums &sums, const std::uint8_t *buffer, std::size_t count);

// The portable variant: every processor runs it; the lanes take a short
// last chunk through it.
void mix_portable(ContentSums &sums, const std::uint8_t *buffer, std::size_t count);

// Every variant that this build has, slowest first.
constexpr const char *mix_variant_names[] = {"portable", "avx2", "avx512"};

// The variant of that name, or null where this build or processor lacks it.
MixChunk mix_variant(const char *name);

// Makes every later scan use the variant of that name, for a benchmark;
// false where this build or processor lacks it.
bool force_mix_variant(const char *name);

// The fastest variant this processor runs, chosen at the first call, or the
// one forced.
void mix_chunk(ContentSums &sums, const std::uint8_t *buffer, std::size_t count);

#if defined(__x86_64__)
// Whole chunks in 16 lanes each, on a processor with AVX-512 and its 52-bit
// multiplies.
void mix_lanes_avx512(ContentSums &sums, const std::uint8_t *buffer, std::size_t chunks);

// x mod b for 16 words and bytes (0 for b = 0), as those lanes take acc7
// mod b; for the tests.
void remainders_by_byte_avx512(const std::uint32_t x[16], const std::uint32_t b[16],
                               std::uint32_t r[16]);

// Whole chunks in 8 lanes each, on a processor with AVX2, FMA and BMI2.
void mix_lanes_avx2(ContentSums &sums, const std::uint8_t *buffer, std::size_t chunks);

// The same remainders for 8 words, as the AVX2 lanes take them.
void remainders_by_byte_avx2(const std::uint32_t x[8], const std::uint32_t b[8],
                             std::uint32_t r[8]);
#endif

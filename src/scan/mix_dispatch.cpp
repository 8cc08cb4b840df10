// Which variant of the content checksum's fast path runs: the one place
// that knows processors. The portable blocks are in mix_portable.cpp, the
// lanes in mix_avx2.cpp and mix_avx512.cpp.
#include <atomic>
#include <string_view>

#include "mix.h"

namespace {

bool always() { return true; }

struct Variant {
    const char *name;
    MixChunk mix;
    bool (*runs_here)();
};

// The one place that knows processors: which variants are built, and which
// of them this processor runs. BMI2 shifts by a register's count without
// tying up the count register.
#if defined(__x86_64__)
// Whole chunks in lanes; a short last chunk in blocks.
using MixLanes = void (*)(ContentSums &, const std::uint8_t *, std::size_t chunks);

[[gnu::always_inline]] inline void mix_in_lanes(MixLanes lanes, ContentSums &sums,
                                                const std::uint8_t *buffer, std::size_t count) {
    const std::size_t whole = count / chunk_size;
    if (whole > 0)
        lanes(sums, buffer, whole);
    mix_portable(sums, buffer + whole * chunk_size, count % chunk_size);
}

__attribute__((target(QOR_AVX2_TARGET))) void
mix_avx2(ContentSums &sums, const std::uint8_t *buffer, std::size_t count) {
    mix_in_lanes(mix_lanes_avx2, sums, buffer, count);
}

__attribute__((target(QOR_AVX512_TARGET))) void
mix_avx512(ContentSums &sums, const std::uint8_t *buffer, std::size_t count) {
    mix_in_lanes(mix_lanes_avx512, sums, buffer, count);
}

// The sets of QOR_AVX2_TARGET and QOR_AVX512_TARGET, each asked for by name.
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           __builtin_cpu_supports("bmi2");
}

bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("bmi2");
}

constexpr Variant variants[] = {
    {"portable", mix_portable, always},
    {"avx2", mix_avx2, has_avx2},
    {"avx512", mix_avx512, has_avx512},
};
#else
constexpr Variant variants[] = {
    {"portable", mix_portable, always},
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

void mix_chunk(ContentSums &sums, const std::uint8_t *buffer, std::size_t count) {
    MixChunk mix = chosen.load(std::memory_order_relaxed);
    if (!mix)
        chosen = mix = fastest_variant();
    mix(sums, buffer, count);
}

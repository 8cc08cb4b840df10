// Throughput of the content scan on 64 MiB of NFO-like text whose only
// marker is in the trailer, against its mixing alone, mix_byte alone and the
// literal scan.
#include <benchmark/benchmark.h>

#include "../tests/literal_scan.h"
#include "mix.h"
#include "nfo_text.h"
#include "verify.h"

namespace {

const std::string &release() {
    static const std::string bytes = nfo_text(64 << 20) + marker_text + "2222222222222222\r\n";
    return bytes;
}

template <std::uint64_t (*scan)(std::FILE *, ContentSums &)>
void scan_bench(benchmark::State &state) {
    const std::string &bytes = release();
    for (auto _ : state) {
        std::FILE *f = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
        ContentSums sums = start_content_sums();
        benchmark::DoNotOptimize(scan(f, sums));
        benchmark::DoNotOptimize(sums);
        std::fclose(f);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

std::uint64_t fast_scan(std::FILE *f, ContentSums &sums) { return scan_content(f, sums); }

void BM_scan_content(benchmark::State &state) { scan_bench<fast_scan>(state); }
void BM_literal_scan(benchmark::State &state) { scan_bench<literal_scan_content>(state); }

void BM_mix_byte(benchmark::State &state) {
    const std::string &bytes = release();
    for (auto _ : state) {
        ContentSums sums = start_content_sums();
        for (std::size_t i = 0; i < bytes.size(); ++i)
            mix_byte(sums, static_cast<std::uint8_t>(bytes[i]),
                     static_cast<std::uint32_t>(i % 1024));
        benchmark::DoNotOptimize(sums);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The fast mixing alone, over the same bytes in whole chunks: what the scan
// costs without its marker search.
void mix_chunk_bench(benchmark::State &state, const char *variant) {
    MixChunk mix = mix_variant(variant);
    if (!mix) {
        state.SkipWithError("this processor does not run this variant");
        return;
    }
    const std::string &bytes = release();
    for (auto _ : state) {
        ContentSums sums = start_content_sums();
        const auto *p = reinterpret_cast<const std::uint8_t *>(bytes.data());
        // 64 chunks to a call, as the scan reads them.
        for (std::size_t at = 0; at + chunk_size <= bytes.size(); at += 64 * chunk_size)
            mix(sums, p + at,
                std::min(bytes.size() - at, 64 * chunk_size) / chunk_size * chunk_size);
        benchmark::DoNotOptimize(sums);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_mix_chunk_avx512(benchmark::State &state) { mix_chunk_bench(state, "avx512"); }
void BM_mix_chunk_avx2(benchmark::State &state) { mix_chunk_bench(state, "avx2"); }
void BM_mix_chunk_portable(benchmark::State &state) { mix_chunk_bench(state, "portable"); }

} // namespace

BENCHMARK(BM_scan_content)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mix_chunk_avx512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mix_chunk_avx2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mix_chunk_portable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mix_byte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_literal_scan)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

// The fast scan against the literal one on inputs made to hit its special
// cases: markers and marker prefixes near the end of a read, short last
// chunks completed from the previous read, zero bytes and bytes of 0x80 and
// above.
#include <algorithm>
#include <random>

#include "fixtures.h"
#include "literal_scan.h"
#include "mix.h"

namespace {

std::string random_bytes(std::mt19937 &random, std::size_t n) {
    std::string s(n, '\0');
    for (char &c : s) {
        unsigned r = random() % 8;
        // Mostly text, some zero bytes, some high bytes, some marker letters.
        c = static_cast<char>(r < 4    ? 'a' + random() % 26
                              : r == 4 ? 0
                              : r == 5 ? 0x80 + random() % 128
                              : r == 6 ? "QOR :"[random() % 5]
                                       : random() % 256);
    }
    return s;
}

struct Scan {
    std::uint64_t summed;
    ContentSums sums;
};

template <typename Scanner> Scan scan_file(const fs::path &path, Scanner scan) {
    std::FILE *f = std::fopen(path.string().c_str(), "rb");
    Scan result = {0, start_content_sums()};
    result.summed = scan(f, result.sums);
    std::fclose(f);
    return result;
}

TEST(FastScan, AgreesWithTheLiteralScan) {
    std::mt19937 random(7);
    fs::path path = test_folder() / "scan";
    std::vector<std::string> inputs;
    for (std::size_t p = 960; p < 1024; ++p) {
        // A whole marker starting at chunk position p of the second read.
        inputs.push_back(random_bytes(random, 1024 + p) + marker_text + random_bytes(random, 900));
        // A marker prefix running to the end of a read, and the rest of the
        // marker where the previous read leaves it in the buffer.
        for (std::size_t last : {p - 900, p - 940}) {
            std::size_t split = std::min(1024 - p, marker_length); // bytes delivered
            std::string s = random_bytes(random, 2048 + last + split);
            std::size_t at = 2048 + last;
            s.replace(at, split, marker_text, split);
            if (split < marker_length)
                s.replace(1024 + last + split, marker_length - split, marker_text + split,
                          marker_length - split);
            inputs.push_back(s.substr(0, at + split));
        }
    }
    for (std::size_t size : {0, 1, 42, 1023, 1024, 1025, 5000, 65535, 65536, 65537, 140000})
        inputs.push_back(random_bytes(random, size));
    // The same cases 62 chunks further on, where the scan's reads of 64
    // chunks put the short last chunk at the start of a read and its
    // predecessor at the end of the one before.
    for (std::size_t k = 0, n = inputs.size(); k < n; k += 5)
        inputs.push_back(random_bytes(random, 62 * chunk_size) + inputs[k]);
    for (const std::string &input : inputs) {
        write_file(path, input);
        Scan fast =
            scan_file(path, [](std::FILE *f, ContentSums &s) { return scan_content(f, s); });
        Scan literal = scan_file(path, literal_scan_content);
        ASSERT_EQ(fast.summed, literal.summed) << "input of " << input.size() << " bytes";
        ASSERT_EQ(fast.sums, literal.sums) << "input of " << input.size() << " bytes";
    }
}

// Every mixing variant, run on its own; one this processor lacks is skipped.
class MixVariant : public ::testing::TestWithParam<const char *> {};

TEST_P(MixVariant, AgreesWithMixByte) {
    MixChunk mix = mix_variant(GetParam());
    if (!mix)
        GTEST_SKIP() << "this processor does not run the " << GetParam() << " variant";
    std::mt19937 random(11);
    constexpr std::size_t chunks = 3;
    std::uint8_t buffer[chunks * chunk_size];
    for (int round = 0; round < 40; ++round) {
        // Mixed bytes, and long runs of one byte: zero, 0xFF, a letter.
        const char runs[] = {'\0', '\xff', '\x80', 'a', 'Q', ' '};
        std::string bytes = round < 34 ? random_bytes(random, sizeof buffer)
                                       : std::string(sizeof buffer, runs[round - 34]);
        std::memcpy(buffer, bytes.data(), sizeof buffer);
        // Within one chunk, and over several, which the lanes overlap.
        for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{11}, std::size_t{255},
                                  std::size_t{256}, std::size_t{257}, std::size_t(random() % 1025),
                                  chunk_size, 2 * chunk_size + 300, chunks * chunk_size}) {
            // The key's start, or any state at all (every parity of acc2
            // and acc3 included).
            ContentSums start = start_content_sums();
            if (round % 2)
                for (std::uint32_t *word :
                     {&start.acc0, &start.acc1, &start.acc2, &start.acc3, &start.acc4, &start.acc5,
                      &start.acc6, &start.acc7, &start.acc8, &start.acc9, &start.acc10,
                      &start.acc11, &start.acc12, &start.acc13, &start.acc14})
                    *word = static_cast<std::uint32_t>(random());
            ContentSums expected = start;
            for (std::size_t j = 0; j < count; ++j)
                mix_byte(expected, buffer[j], static_cast<std::uint32_t>(j % chunk_size));
            ContentSums sums = start;
            mix(sums, buffer, count);
            ASSERT_EQ(sums, expected) << count << " bytes";
        }
    }
}

#if defined(__x86_64__)
// The lanes take acc7 mod b in single precision; every divisor against
// dividends next to its multiples, where a rounding would show, near 0, 2^24
// and the top, and at random.
using RemaindersByByte = void (*)(const std::uint32_t *, const std::uint32_t *, std::uint32_t *);

template <std::size_t lanes>
void check_remainders_by_byte(RemaindersByByte remainders, std::mt19937 &random) {
    std::vector<std::uint32_t> dividends;
    for (std::uint32_t b = 0; b < 256; ++b) {
        dividends.clear();
        const std::uint32_t d = b ? b : 1;
        for (std::uint64_t base : {std::uint64_t{0}, std::uint64_t{1} << 24, std::uint64_t{1} << 31,
                                   (std::uint64_t{1} << 32) - 64 * d})
            for (std::uint64_t k = base / d; k < base / d + 64; ++k)
                for (std::int64_t off : {-1, 0, 1})
                    if (std::int64_t x = static_cast<std::int64_t>(k * d) + off;
                        x >= 0 && x <= 0xFFFFFFFF)
                        dividends.push_back(static_cast<std::uint32_t>(x));
        dividends.push_back(0xFFFFFFFF);
        for (int n = 0; n < 2000; ++n)
            dividends.push_back(static_cast<std::uint32_t>(random()));
        while (dividends.size() % lanes)
            dividends.push_back(0);
        std::uint32_t bytes[lanes];
        std::fill(bytes, bytes + lanes, b);
        for (std::size_t at = 0; at < dividends.size(); at += lanes) {
            std::uint32_t r[lanes];
            remainders(&dividends[at], bytes, r);
            for (std::size_t k = 0; k < lanes; ++k)
                ASSERT_EQ(r[k], b ? dividends[at + k] % b : 0) << dividends[at + k] << " mod " << b;
        }
    }
}

TEST(FastScan, RemainderByByteIsExact) {
    std::mt19937 random(13);
    if (mix_variant("avx2"))
        check_remainders_by_byte<8>(remainders_by_byte_avx2, random);
    if (mix_variant("avx512"))
        check_remainders_by_byte<16>(remainders_by_byte_avx512, random);
    if (!mix_variant("avx2") && !mix_variant("avx512"))
        GTEST_SKIP() << "this processor runs neither the avx2 nor the avx512 variant";
}
#endif

INSTANTIATE_TEST_SUITE_P(FastScan, MixVariant, ::testing::ValuesIn(mix_variant_names),
                         [](const auto &variant) { return std::string(variant.param); });

} // namespace

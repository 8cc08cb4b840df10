#include "fixtures.h"

namespace {

TEST(MixByte, FollowsTheTraceForAbc) {
    // Each row: acc0..acc14 after the byte.
    const ContentSums after[3] = {
        {0x61, 0x61, 0x24a0, 0x24a0, 0xc2, 0x22b0, 0x0, 0x24a0, 0xc2, 0x383, 0x22b0, 0x308, 0x1,
         0xe1, 0x28a0},
        {0xc3, 0x1e6, 0x5599466, 0x5599466, 0xcf2, 0x55bbae2, 0x184, 0x55a26e6, 0x140, 0xcb4,
         0x1e081, 0x1b58, 0x6, 0x288, 0x2e5a},
        {0x126, 0xf73, 0xa43b05b2, 0xa43b05b2, 0x258f2, 0xf180a4b2, 0xe94, 0xfac4bf32, 0x246,
         0x1a0c, 0x2fe39, 0xddc8, 0x33, 0x1284, 0x301d},
    };
    ContentSums sums = {};
    for (std::uint32_t j = 0; j < 3; ++j) {
        mix_byte(sums, static_cast<std::uint8_t>('a' + j), j);
        EXPECT_EQ(sums, after[j]) << "after byte " << j;
    }
}

TEST(MixByte, TakesAZeroByteWithoutFault) {
    ContentSums sums = start_content_sums();
    sums.acc7 = 12345;
    ContentSums before = sums;
    mix_byte(sums, 0, 7);
    EXPECT_NE(sums, before);
}

TEST(StartContentSums, FormsAcc12AndAcc13FromTheStoredStarts) {
    ContentSums s = start_content_sums();
    const std::uint32_t *k = build_key.sum_starts;
    EXPECT_EQ(s.acc0, k[0]);
    EXPECT_EQ(s.acc11, k[11]);
    EXPECT_EQ(s.acc14, k[12]);
    EXPECT_EQ(s.acc12, k[5] + k[2]);
    EXPECT_EQ(s.acc13, k[4] + k[6] + build_key.acc13_constant);
}

// The sums of the first n bytes, mixed one by one at their chunk positions.
ContentSums sums_of_prefix(const std::string &bytes, std::size_t n) {
    ContentSums sums = start_content_sums();
    for (std::size_t i = 0; i < n; ++i)
        mix_byte(sums, static_cast<std::uint8_t>(bytes[i]), static_cast<std::uint32_t>(i % 1024));
    return sums;
}

std::string with_marker_at(std::string bytes, std::size_t offset, std::size_t from = 0,
                           std::size_t length = marker_length) {
    bytes.replace(offset, length, marker_text + from, length);
    return bytes;
}

TEST(ScanContent, StopsAtTheFirstRecognisedMarker) {
    auto layout = [](std::size_t size) { return filler(size - trailer_length) + trailer(); };
    std::string short_tail = filler(6244);
    short_tail = with_marker_at(short_tail, 6224, 0, 20);
    short_tail = with_marker_at(short_tail, 5220, 20, 23);
    std::string short_tail_broken = short_tail;
    short_tail_broken[5230] = '#';
    const struct {
        const char *what;
        std::string bytes;
        std::uint64_t summed;
    } cases[] = {
        {"trailer marker at chunk position 981", layout(6162), 6101},
        {"trailer marker at chunk position 982", layout(6163), 6163},
        {"trailer marker crossing a boundary (size % 1024 = 60)", layout(6204), 6204},
        {"trailer marker starting a chunk", layout(6205), 6144},
        {"earlier marker at 100", with_marker_at(layout(7000), 100), 100},
        {"earlier marker at 2005 (position 981)", with_marker_at(layout(7000), 2005), 2005},
        {"earlier marker at 982 is passed over", with_marker_at(layout(7000), 982), 6939},
        {"earlier marker at 1000 is passed over", with_marker_at(layout(7000), 1000), 6939},
        {"earlier marker at 1023 is passed over", with_marker_at(layout(7000), 1023), 6939},
        {"file beginning with the marker", with_marker_at(layout(7000), 0), 0},
        {"no marker, whole chunks", filler(4096), 4096},
        {"short last chunk completed from the previous chunk", short_tail, 6224},
        {"the same with one completing byte changed", short_tail_broken, 6244},
        {"zero byte in a window only hides that window",
         with_marker_at(layout(7000), 300).replace(310, 1, 1, '\0'), 6939},
    };
    fs::path path = test_folder() / "scan";
    for (const auto &c : cases) {
        write_file(path, c.bytes);
        std::FILE *f = std::fopen(path.string().c_str(), "rb");
        ContentSums sums = start_content_sums();
        EXPECT_EQ(scan_content(f, sums), c.summed) << c.what;
        EXPECT_EQ(sums, sums_of_prefix(c.bytes, c.summed)) << c.what;
        std::fclose(f);
    }
}

TEST(ScanContent, IgnoresEverythingAfterTheMarker) {
    fs::path path = test_folder() / "scan";
    auto sums_with = [&](const std::string &tail) {
        write_file(path, filler(6500) + tail);
        std::FILE *f = std::fopen(path.string().c_str(), "rb");
        ContentSums sums = start_content_sums();
        EXPECT_EQ(scan_content(f, sums), 6500u);
        std::fclose(f);
        return sums;
    };
    EXPECT_EQ(sums_with(trailer("ABCDEFGHJKLMNPQR")), sums_with(trailer("ZZZZ", "xyz!")));
}

} // namespace

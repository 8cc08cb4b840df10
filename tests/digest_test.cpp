#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "verify.h"

namespace {

// With RFC 1321's sine table and initial words, one compression of a padded
// one-block message is that message's MD5.
std::string md5_one_block(const std::string &message) {
    std::uint32_t steps[64];
    for (int i = 0; i < 64; ++i)
        steps[i] =
            static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    std::uint8_t bytes[64] = {};
    std::memcpy(bytes, message.data(), message.size());
    bytes[message.size()] = 0x80;
    std::uint64_t bits = message.size() * 8;
    for (int i = 0; i < 8; ++i)
        bytes[56 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    std::uint32_t block[16];
    for (int i = 0; i < 16; ++i)
        block[i] = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
                   static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    Digest d = compress_block({0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, block, steps);
    char hex[33];
    std::uint32_t words[4] = {d.a, d.b, d.c, d.d};
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", (words[i / 4] >> (8 * (i % 4))) & 0xff);
    return hex;
}

TEST(CompressBlock, GivesRfc1321DigestsUnderItsConstants) {
    const std::pair<const char *, const char *> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    };
    for (const auto &[message, digest] : suite)
        EXPECT_EQ(md5_one_block(message), digest) << '"' << message << '"';
}

TEST(ComputeDigest, DependsOnlyOnTheSums) {
    ContentSums sums = start_content_sums();
    Digest d1 = compute_digest(sums);
    Digest d2 = compute_digest(sums);
    EXPECT_EQ(std::memcmp(&d1, &d2, sizeof d1), 0);
    sums.acc14 += 1;
    Digest d3 = compute_digest(sums);
    EXPECT_NE(std::memcmp(&d1, &d3, sizeof d1), 0);
}

TEST(ComputeDigest, IsOneCompressionWithTheFillerWord) {
    ContentSums s = {0xffffffff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0xfffffffe};
    const std::uint32_t block[16] = {0xffffffff, 1, 2,  3,  4,  5,  6,          7,
                                     8,          9, 10, 11, 12, 13, 0xfffffffe, 0x12345678};
    const std::uint32_t *c = build_key.chaining;
    Digest expected = compress_block({c[0], c[1], c[2], c[3]}, block, build_key.steps);
    Digest got = compute_digest(s);
    EXPECT_EQ(std::memcmp(&expected, &got, sizeof got), 0);
}

TEST(FoldDigest, XorsTheLastSixBytesIntoTheFirstSix) {
    struct Case {
        Digest digest;
        CheckValue check;
    } cases[] = {
        // D10..D15 zero: C is D0..D9.
        {{0x03020100, 0x07060504, 0x00000908, 0x00000000}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        // D0..D5 equal D10..D15: the first six bytes cancel.
        {{0x44332211, 0xaa996655, 0x22110000, 0x66554433}, {0, 0, 0, 0, 0, 0, 0x99, 0xaa, 0, 0}},
        {{0x000000ff, 0, 0x80ff0000, 0}, {0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fold_digest(c.digest), c.check);
}

} // namespace

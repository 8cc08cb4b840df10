#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "verify.h"

namespace {

std::string md5_hex(const std::string &message) {
    std::array<std::uint8_t, 16> digest =
        md5(reinterpret_cast<const std::uint8_t *>(message.data()), message.size());
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[static_cast<std::size_t>(i)]);
    return hex;
}

// RFC 1321's test suite: one block, and messages that pad into a second.
TEST(Md5, GivesRfc1321Digests) {
    const std::pair<const char *, const char *> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &[message, digest] : suite)
        EXPECT_EQ(md5_hex(message), digest) << '"' << message << '"';
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

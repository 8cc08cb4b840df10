// The digest: one MD5-structured compression of the sums under the key's
// step constants and chaining start words, folded to 10 bytes.
#include "verify.h"

namespace {

std::uint32_t rotl(std::uint32_t x, unsigned s) { return (x << s) | (x >> (32 - s)); }

std::uint32_t f0(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & c) | (~b & d); }
std::uint32_t f1(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & d) | (c & ~d); }
std::uint32_t f2(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; }
std::uint32_t f3(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return c ^ (b | ~d); }

constexpr unsigned rotation[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void store_le32(std::uint8_t *p, std::uint32_t x) {
    p[0] = static_cast<std::uint8_t>(x);
    p[1] = static_cast<std::uint8_t>(x >> 8);
    p[2] = static_cast<std::uint8_t>(x >> 16);
    p[3] = static_cast<std::uint8_t>(x >> 24);
}

} // namespace

Digest compress_block(Digest chaining, const std::uint32_t m[16], const std::uint32_t k[64]) {
    std::uint32_t a = chaining.a, b = chaining.b, c = chaining.c, d = chaining.d;
    for (unsigned j = 0; j < 64; ++j) {
        unsigned round = j / 16;
        std::uint32_t f;
        unsigned index;
        switch (round) {
        case 0: f = f0(b, c, d), index = j; break;
        case 1: f = f1(b, c, d), index = (5 * j + 1) % 16; break;
        case 2: f = f2(b, c, d), index = (3 * j + 5) % 16; break;
        default: f = f3(b, c, d), index = (7 * j) % 16; break;
        }
        std::uint32_t t = a + f + m[index] + k[j];
        std::uint32_t n = b + rotl(t, rotation[round][j % 4]);
        a = d, d = c, c = b, b = n;
    }
    return {chaining.a + a, chaining.b + b, chaining.c + c, chaining.d + d};
}

Digest compute_digest(const ContentSums &s, const KeyMaterial &key) {
    const std::uint32_t block[16] = {s.acc0,  s.acc1,  s.acc2,  s.acc3,     s.acc4,  s.acc5,
                                     s.acc6,  s.acc7,  s.acc8,  s.acc9,     s.acc10, s.acc11,
                                     s.acc12, s.acc13, s.acc14, filler_word};
    const Digest start = {key.chaining[0], key.chaining[1], key.chaining[2], key.chaining[3]};
    return compress_block(start, block, key.steps);
}

CheckValue fold_digest(const Digest &digest) {
    std::uint8_t d[16];
    store_le32(d, digest.a);
    store_le32(d + 4, digest.b);
    store_le32(d + 8, digest.c);
    store_le32(d + 12, digest.d);
    CheckValue check;
    for (std::size_t k = 0; k < 6; ++k)
        check[k] = d[k] ^ d[k + 10];
    for (std::size_t k = 6; k < 10; ++k)
        check[k] = d[k];
    return check;
}

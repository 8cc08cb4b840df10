// The digest: one MD5-structured compression of the sums under the key's
// step constants and chaining start words, folded to 10 bytes.
#include <cstring>

#include "endian.h"
#include "verify.h"

namespace {

std::uint32_t rotl(std::uint32_t x, unsigned s) { return (x << s) | (x >> (32 - s)); }

std::uint32_t f0(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & c) | (~b & d); }
std::uint32_t f1(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & d) | (c & ~d); }
std::uint32_t f2(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; }
std::uint32_t f3(std::uint32_t b, std::uint32_t c, std::uint32_t d) { return c ^ (b | ~d); }

constexpr unsigned rotation[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

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

namespace {

// RFC 1321's T[1..64], the integer part of 2^32 |sin(i)|, and its start words.
constexpr std::uint32_t md5_steps[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr Digest md5_start = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

Digest md5_block(Digest chaining, const std::uint8_t bytes[64]) {
    std::uint32_t block[16];
    for (std::size_t i = 0; i < 16; ++i)
        block[i] = load_le32(bytes + 4 * i);
    return compress_block(chaining, block, md5_steps);
}

} // namespace

std::array<std::uint8_t, 16> md5(const std::uint8_t *message, std::size_t length) {
    Digest d = md5_start;
    std::size_t whole = length - length % 64;
    for (std::size_t at = 0; at < whole; at += 64)
        d = md5_block(d, message + at);
    // The rest, 0x80, zeros to 56 bytes of a block, then the length in bits.
    std::uint8_t tail[128] = {};
    std::size_t rest = length - whole;
    std::memcpy(tail, message + whole, rest);
    tail[rest] = 0x80;
    std::size_t blocks = rest < 56 ? 1 : 2;
    std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (std::size_t i = 0; i < 8; ++i)
        tail[64 * blocks - 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    for (std::size_t b = 0; b < blocks; ++b)
        d = md5_block(d, tail + 64 * b);
    std::array<std::uint8_t, 16> out;
    store_le32(out.data(), d.a);
    store_le32(out.data() + 4, d.b);
    store_le32(out.data() + 8, d.c);
    store_le32(out.data() + 12, d.d);
    return out;
}

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "verify.h"

namespace {

const std::uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const std::uint8_t *>(s.data());
}

TEST(CheckCodeSymbols, AcceptsExactlyTheThirtyTwoSymbols) {
    for (std::size_t place : {0, 7, 15}) {
        for (int b = 0; b < 256; ++b) {
            std::string code(16, 'Z');
            code[place] = static_cast<char>(b);
            bool symbol = b != 0 && std::strchr(code_symbols, b) != nullptr;
            EXPECT_EQ(check_code_symbols(bytes(code)), symbol) << "byte " << b << " at " << place;
        }
    }
}

TEST(SymbolValue, CountsInAscendingCharacterOrder) {
    const std::pair<char, unsigned> table[] = {{'2', 0},  {'9', 7},  {'A', 8},  {'H', 15},
                                               {'J', 16}, {'N', 20}, {'P', 21}, {'Z', 31}};
    for (const auto &[symbol, value] : table)
        EXPECT_EQ(symbol_value(static_cast<std::uint8_t>(symbol)), value) << symbol;
}

TEST(PackCode, PacksFiveBitsPerSymbol) {
    const struct {
        const char *code;
        CheckValue packed;
    } cases[] = {
        {"2222222222222222", {}},
        {"ZZZZZZZZZZZZZZZZ", {255, 255, 255, 255, 255, 255, 255, 255, 255, 255}},
        {"2J2JJ2JJ2J2JJ2JJ", {128, 128, 128, 128, 128, 128, 128, 128, 128, 128}},
        {"23456789ABCDEFGH", {0x00, 0x09, 0x23, 0x0A, 0x3E, 0x48, 0x29, 0x6B, 0x5A, 0x7E}},
        {"3222222222222222", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"2322222222222222", {0, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"2222222322222222", {0, 0, 0, 0, 8, 0, 0, 0, 0, 0}},
        {"2222222232222222", {0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(pack_code(bytes(c.code)), c.packed) << c.code;
        EXPECT_TRUE(code_matches(bytes(c.code), c.packed)) << c.code;
    }
}

TEST(EncodeCode, IsTheOneCodeThatMatches) {
    std::mt19937 random(1);
    for (int i = 0; i < 1000; ++i) {
        CheckValue check;
        for (std::uint8_t &b : check)
            b = static_cast<std::uint8_t>(random());
        std::uint8_t code[16];
        encode_code(check, code);
        ASSERT_TRUE(check_code_symbols(code));
        ASSERT_TRUE(code_matches(code, check));
        // Any other symbol in any place packs to something else.
        std::uint8_t other[16];
        std::memcpy(other, code, 16);
        std::size_t place = random() % 16;
        other[place] = static_cast<std::uint8_t>(
            code_symbols[(symbol_value(code[place]) + 1 + random() % 31) % 32]);
        ASSERT_FALSE(code_matches(other, check));
    }
}

} // namespace

// The authentication code: 16 symbols of 5 bits each, packed to the 80 bits
// of the check value in two groups of eight symbols to five bytes.
#include "verify.h"

bool is_code_symbol(std::uint8_t c) {
    return (c >= '2' && c <= '9') || (c >= 'A' && c <= 'Z' && c != 'I' && c != 'O');
}

namespace {

void pack_group(const unsigned w[8], std::uint8_t p[5]) {
    p[0] = static_cast<std::uint8_t>(w[0] + 32 * (w[1] / 4));
    p[1] = static_cast<std::uint8_t>((w[1] % 4) + 4 * w[2] + 128 * (w[3] / 16));
    p[2] = static_cast<std::uint8_t>((w[3] % 16) + 16 * (w[4] / 2));
    p[3] = static_cast<std::uint8_t>((w[4] % 2) + 2 * w[5] + 64 * (w[6] / 8));
    p[4] = static_cast<std::uint8_t>((w[6] % 8) + 8 * w[7]);
}

void unpack_group(const std::uint8_t p[5], unsigned w[8]) {
    w[0] = p[0] % 32;
    w[1] = (p[0] / 32) * 4 + p[1] % 4;
    w[2] = (p[1] / 4) % 32;
    w[3] = (p[1] / 128) * 16 + p[2] % 16;
    w[4] = (p[2] / 16) * 2 + p[3] % 2;
    w[5] = (p[3] / 2) % 32;
    w[6] = (p[3] / 64) * 8 + p[4] % 8;
    w[7] = p[4] / 8;
}

} // namespace

bool check_code_symbols(const std::uint8_t code[code_length]) {
    for (std::size_t i = 0; i < code_length; ++i)
        if (!is_code_symbol(code[i]))
            return false;
    return true;
}

unsigned symbol_value(std::uint8_t symbol) {
    // Ascending character codes with I and O left out.
    if (symbol <= '9')
        return symbol - '2';
    unsigned v = symbol - 'A' + 8;
    return v - (symbol > 'I') - (symbol > 'O');
}

CheckValue pack_code(const std::uint8_t code[code_length]) {
    CheckValue packed;
    for (int g = 0; g < 2; ++g) {
        unsigned w[8];
        for (int i = 0; i < 8; ++i)
            w[i] = symbol_value(code[8 * g + i]);
        pack_group(w, packed.data() + 5 * g);
    }
    return packed;
}

bool code_matches(const std::uint8_t code[code_length], const CheckValue &check) {
    return pack_code(code) == check;
}

void encode_code(const CheckValue &check, std::uint8_t code[code_length]) {
    for (int g = 0; g < 2; ++g) {
        unsigned w[8];
        unpack_group(check.data() + 5 * g, w);
        for (int i = 0; i < 8; ++i)
            code[8 * g + i] = static_cast<std::uint8_t>(code_symbols[w[i]]);
    }
}

// The one UTF-8 decoder of the system, strict as the standard has it: the
// version stamp's text and the names qortool prints both go through it.
// May include nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The code point of the UTF-8 sequence at `at`, which it passes; U+FFFFFFFF
// for a byte sequence that is not UTF-8 (overlong forms and surrogates
// included).
inline char32_t next_code_point(const std::string &utf8, std::size_t &at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(utf8[i]); };
    std::uint8_t lead = byte(at++);
    if (lead < 0x80)
        return lead;
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead >= 0xF8 || at + length - 1 > utf8.size())
        return 0xFFFFFFFF;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i, ++at) {
        if ((byte(at) & 0xC0) != 0x80)
            return 0xFFFFFFFF;
        c = c << 6 | (byte(at) & 0x3F);
    }
    const char32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0xFFFFFFFF;
    return c;
}

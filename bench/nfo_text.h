// NFO-like text for the benchmarks: printable words and CR LF line ends,
// with no marker text in it.
#pragma once

#include <cstdint>
#include <string>

inline std::string nfo_text(std::size_t size) {
    static const char *const words[] = {
        "release", "QOR",  "group", "  ",  "information", "the",      "file", "=====", "version",
        "1.0.0",   "code", "of",    "and", "genuine",     "Checking", "----", "[x]",   "notes"};
    std::string text;
    text.reserve(size + 16);
    std::uint32_t state = 12345;
    std::size_t column = 0;
    while (text.size() < size) {
        state = state * 1103515245 + 12345;
        const char *word = words[(state >> 16) % (sizeof words / sizeof *words)];
        std::string w = word;
        if (column + w.size() > 76) {
            text += "\r\n";
            column = 0;
        }
        text += w + ' ';
        column += w.size() + 1;
    }
    text.resize(size);
    return text;
}

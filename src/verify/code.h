// The authentication code: its 16 symbols, and whether a check value
// matches them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "digest.h"
#include "format.h"

// The 32 code symbols in ascending order: a symbol's index is its value.
constexpr const char code_symbols[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";

bool is_code_symbol(std::uint8_t c); // the digits 2 to 9, A to Z but I and O
bool check_code_symbols(const std::uint8_t code[code_length]);
unsigned symbol_value(std::uint8_t symbol); // a code symbol's value, 0 to 31
CheckValue pack_code(const std::uint8_t code[code_length]);
bool code_matches(const std::uint8_t code[code_length], const CheckValue &check);

// The one code that packs to `check`: what an issuer writes into the trailer.
void encode_code(const CheckValue &check, std::uint8_t code[code_length]);

// Rewinds the stream, scans it and folds its digest: the value that the code
// of this file must pack to. `summed` receives the number of bytes mixed.
CheckValue content_check_value(std::FILE *stream, std::uint64_t *summed,
                               const ScanBounds &bounds = {}, const KeyMaterial &key = build_key);

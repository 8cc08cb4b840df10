// The content scan: fifteen keyed 32-bit sums over an information file's
// bytes up to the first recognised marker. What the check and issuing use;
// the marker search and the mixing variants are inside it (mix.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "format.h"

struct ContentSums {
    std::uint32_t acc0, acc1, acc2, acc3, acc4, acc5, acc6, acc7, acc8, acc9, acc10, acc11, acc12,
        acc13, acc14;
    bool operator==(const ContentSums &) const = default;
};

// The sums' start values; acc12 and acc13 are formed from the stored ones.
ContentSums start_content_sums(const KeyMaterial &key = build_key);

// Mixes byte b at chunk position j (0 to 1023) into all fifteen sums.
void mix_byte(ContentSums &sums, std::uint8_t b, std::uint32_t j);

// How far a scan reads, and where it counts the bytes it has read (for a
// progress display; null for none).
struct ScanBounds {
    std::uint64_t limit = UINT64_MAX;
    std::atomic<std::uint64_t> *progress = nullptr;
};

// Reads the stream from its current position in chunks of 1024 bytes, no
// further than `bounds.limit` bytes, and mixes every byte before the first
// recognised marker. Returns the number of bytes mixed, which is the
// marker's offset when one was recognised.
//
// The stale buffer: the scheme reads each chunk into one 1024-byte buffer
// and compares the 43-byte window at every position, clamped at the
// buffer's last byte. A short last chunk leaves the previous chunk's bytes
// in the buffer past what it delivered, and a window near its end is
// completed from them (zeros when there was no previous chunk); so a marker
// can be recognised across that edge, and never in a window that would
// start after position 981. The fast scan and the literal reference in the
// tests keep this exactly; the places that rely on it say so.
std::uint64_t scan_content(std::FILE *stream, ContentSums &sums, const ScanBounds &bounds = {});

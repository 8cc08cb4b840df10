// The scan exactly as its rules read: at every chunk position fill the
// 43-byte window (clamped at the read buffer's last byte, and completed from
// the previous read in a short chunk: the stale buffer, scan.h), compare it
// with the marker, then mix the byte. The reference that the fast scan must
// agree with, and the baseline of its benchmark.
#pragma once

#include <cstring>

#include "scan.h"

inline std::uint64_t literal_scan_content(std::FILE *stream, ContentSums &sums) {
    std::uint8_t buffer[chunk_size] = {};
    std::uint8_t window[marker_length + 2] = {};
    std::uint64_t summed = 0;
    for (;;) {
        std::size_t d = std::fread(buffer, 1, chunk_size, stream);
        if (d == 0)
            return summed;
        for (std::size_t j = 0; j < d; ++j) {
            for (std::size_t k = 0; k < marker_length && j + k <= chunk_size - 1; ++k)
                window[k] = buffer[j + k];
            if (std::memcmp(window, marker_text, marker_length) == 0)
                return summed;
            mix_byte(sums, buffer[j], static_cast<std::uint32_t>(j));
            ++summed;
        }
    }
}

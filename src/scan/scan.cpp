// The content scan: the rules of mix_byte, the marker search and the reads.
#include <algorithm>
#include <cstring>
#include <vector>

#include "mix.h"

ContentSums start_content_sums(const KeyMaterial &key) {
    const std::uint32_t *s = key.sum_starts;
    ContentSums sums = {s[0], s[1], s[2],  s[3],  s[4], s[5], s[6], s[7],
                        s[8], s[9], s[10], s[11], 0,    0,    s[12]};
    sums.acc12 = sums.acc5 + sums.acc2;
    sums.acc13 = sums.acc4 + sums.acc6 + key.acc13_constant;
    return sums;
}

void mix_byte(ContentSums &s, std::uint8_t byte, std::uint32_t j) {
    const std::uint32_t b = byte;
    std::uint32_t t;
    s.acc0 = s.acc0 + b;
    s.acc1 = (s.acc1 << (b & 15)) | b;
    t = s.acc2 + b, s.acc2 = (t * t) ^ b;
    t = s.acc3 + b, s.acc3 = (t * t) ^ b;
    s.acc4 = s.acc4 + (s.acc0 << ((b * b) & 31));
    s.acc5 = ((((s.acc5 | b) << 4) | b) ^ s.acc3) ^ s.acc1;
    s.acc6 = (s.acc6 + b) ^ s.acc1;
    s.acc7 = (s.acc7 << ((b * j) & 31)) + s.acc3;
    s.acc8 = (s.acc8 ^ b) << 1;
    s.acc9 = s.acc9 + b + (s.acc7 % 546) + (s.acc3 % 566) + (s.acc4 % 2083) + (s.acc8 % 1060);
    s.acc10 = (s.acc10 | (b * j)) + (s.acc5 % 131071);
    s.acc11 = (s.acc11 + (b ^ j)) << 3;
    s.acc12 = (s.acc12 << (b & 3)) + (b % 24);
    s.acc13 = (s.acc13 ^ b) + (s.acc10 % 56) - (s.acc12 & 3) + (s.acc1 % 4946);
    // acc7 mod b has no value for a zero byte; it counts as 0 there, in the
    // issuer as in the verifier.
    s.acc14 = ((s.acc14 | (b * b)) ^ b) + (s.acc2 % 2104) + (b ? s.acc7 % b : 0);
}

std::size_t find_marker(const std::uint8_t buffer[chunk_size], std::size_t delivered) {
    // A window is compared only where it starts with the marker's first
    // character, which occurs nowhere else in the marker. Past 981 a window
    // ends in repeats of the buffer's last byte and never matches.
    std::size_t limit = delivered < last_marker_start + 1 ? delivered : last_marker_start + 1;
    for (std::size_t j = 0; j < limit; ++j) {
        const void *candidate = std::memchr(buffer + j, marker_text[0], limit - j);
        if (!candidate)
            break;
        j = static_cast<std::size_t>(static_cast<const std::uint8_t *>(candidate) - buffer);
        // Its first 8 bytes as one word first: text that names the group
        // holds "QOR" often, the whole marker seldom.
        std::uint64_t head, marker_head;
        std::memcpy(&head, buffer + j, sizeof head);
        std::memcpy(&marker_head, marker_text, sizeof marker_head);
        if (head == marker_head && std::memcmp(buffer + j, marker_text, marker_length) == 0)
            return j;
    }
    return delivered;
}

std::uint64_t scan_content(std::FILE *stream, ContentSums &sums, const ScanBounds &bounds) {
    // The file is read 64 chunks at a time, and each chunk is mixed as if it
    // had been read alone. For the stale buffer (scan.h), every chunk's
    // predecessor is kept in the 1024 bytes before it: the first's in a slot
    // in front that holds zeros before the first read, and the last chunk of
    // each read after it.
    constexpr std::size_t read_size = 64 * chunk_size;
    std::vector<std::uint8_t> block(chunk_size + read_size);
    std::uint8_t *const area = block.data() + chunk_size;
    std::uint64_t summed = 0;
    for (std::uint64_t read = 0; read < bounds.limit;) {
        const std::uint64_t left = bounds.limit - read;
        const std::size_t delivered = std::fread(
            area, 1, left < read_size ? static_cast<std::size_t>(left) : read_size, stream);
        if (delivered == 0)
            return summed;
        read += delivered;
        if (bounds.progress)
            *bounds.progress += delivered;
        // The whole chunks before the first marker are mixed in one call,
        // which lets the fast path overlap one chunk's work with the next.
        std::size_t clean = 0;
        while (clean + chunk_size <= delivered &&
               find_marker(area + clean, chunk_size) == chunk_size)
            clean += chunk_size;
        mix_chunk(sums, area, clean);
        summed += clean;
        if (clean < delivered) {
            std::uint8_t *chunk = area + clean;
            const std::size_t length = std::min(delivered - clean, chunk_size);
            std::uint8_t last[chunk_size];
            if (length < chunk_size) {
                std::memcpy(last, chunk - chunk_size, chunk_size);
                std::memcpy(last, chunk, length);
                chunk = last;
            }
            const std::size_t stop = find_marker(chunk, length);
            mix_chunk(sums, chunk, stop);
            summed += stop;
            if (stop < length)
                return summed;
        }
        const std::size_t whole = delivered / chunk_size * chunk_size;
        if (whole > 0)
            std::memcpy(block.data(), area + whole - chunk_size, chunk_size);
    }
    return summed;
}

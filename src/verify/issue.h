// Issuing an information file: the content, blanks where the verifier needs
// them, then the trailer with the code that fits the content.
#pragma once

#include <cstdint>
#include <cstdio>

#include "verify.h"

struct IssuedFile {
    bool read_failed;     // the body could not be read to its end
    bool write_failed;    // a write to `out` failed: the rest is not written
    bool ends_in_trailer; // the body ends in a trailer
    bool reissued;        // and that trailer was replaced
    std::uint64_t length; // the content as read
    std::uint64_t padded; // with the blanks added
    std::uint64_t stop;   // where verification stops; below `padded` when the
                          // content holds the marker text where it is recognised
};

// Copies up to `limit` bytes from `from` to `to`, stopping at the first
// failed read or write; returns how many bytes it read.
std::uint64_t copy_stream(std::FILE *from, std::FILE *to, std::uint64_t limit = UINT64_MAX);

// The content length at which the trailer's marker is recognised: at least
// the size floor, and with the marker wholly inside one 1024-byte read.
std::uint64_t padded_content_length(std::uint64_t length);

// Whether the 61 bytes are a trailer: the marker text, 16 code symbols and
// any two closing bytes.
bool is_trailer(const std::uint8_t bytes[trailer_length]);

// Copies `body` to `out` (open for writing and reading), pads it and writes
// the trailer. With `reissue`, a body that ends in a trailer has that
// trailer replaced: only what comes before it is the content. The file is
// genuine when nothing failed and stop == padded.
IssuedFile issue_information_file(std::FILE *body, std::FILE *out, bool reissue = false,
                                  const KeyMaterial &key = build_key);

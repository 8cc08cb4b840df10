#include "issue.h"

#include <cerrno>
#include <cstring>

#include "verify.h"

std::uint64_t padded_content_length(std::uint64_t length) {
    if (length + trailer_length < size_floor)
        length = size_floor - trailer_length;
    std::uint64_t marker_position = length % chunk_size;
    if (marker_position > last_marker_start)
        length += chunk_size - marker_position;
    return length;
}

std::uint64_t copy_stream(std::FILE *from, std::FILE *to, std::uint64_t limit) {
    char buffer[64 * 1024];
    std::uint64_t copied = 0;
    while (copied < limit) {
        std::size_t want = limit - copied < sizeof buffer ? static_cast<std::size_t>(limit - copied)
                                                          : sizeof buffer;
        std::size_t n = std::fread(buffer, 1, want, from);
        if (n == 0 && std::ferror(from) && errno == EINTR) {
            // A signal the process ignores can still interrupt a read under
            // some emulators and old kernels: read on.
            std::clearerr(from);
            continue;
        }
        if (n == 0)
            break;
        copied += n;
        if (std::fwrite(buffer, 1, n, to) != n)
            break;
    }
    return copied;
}

bool is_trailer(const std::uint8_t bytes[trailer_length]) {
    return std::memcmp(bytes, marker_text, marker_length) == 0 &&
           check_code_symbols(bytes + marker_length);
}

IssuedFile issue_information_file(std::FILE *body, std::FILE *out, bool reissue,
                                  const KeyMaterial &key) {
    IssuedFile issued = {};
    issued.length = copy_stream(body, out);
    issued.read_failed = std::ferror(body) != 0;
    issued.write_failed = std::ferror(out) != 0;
    if (issued.read_failed || issued.write_failed)
        return issued;
    if (issued.length >= trailer_length) {
        std::uint8_t tail[trailer_length] = {};
        seek_stream(out, -static_cast<std::int64_t>(trailer_length), SEEK_END);
        issued.ends_in_trailer =
            std::fread(tail, 1, trailer_length, out) == trailer_length && is_trailer(tail);
        // The old trailer is written over: what follows is never shorter.
        issued.reissued = reissue && issued.ends_in_trailer;
        if (issued.reissued)
            issued.length -= trailer_length;
        seek_stream(out, static_cast<std::int64_t>(issued.length), SEEK_SET);
    }
    issued.padded = padded_content_length(issued.length);
    for (std::uint64_t i = issued.length; i < issued.padded; ++i)
        std::fputc(' ', out);
    // The code is written last: it follows the marker, so the scan never
    // reads it, and the sums can be taken from the file as it will be.
    std::fputs(marker_text, out);
    std::fputs("2222222222222222\r\n", out);
    // Sums read back from a file that was not wholly written would be
    // another file's.
    issued.write_failed = std::ferror(out) || std::fflush(out) != 0;
    if (issued.write_failed)
        return issued;
    CheckValue check = content_check_value(out, &issued.stop, {}, key);
    std::uint8_t code[code_length];
    encode_code(check, code);
    seek_stream(out, -static_cast<std::int64_t>(code_offset_from_end), SEEK_END);
    std::fwrite(code, 1, code_length, out);
    return issued;
}

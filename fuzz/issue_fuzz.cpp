// Issuing arbitrary content: the result always verifies as genuine, and any
// one changed byte that the code protects makes it fail. That is every byte
// before the closing bytes, or, when the content holds the marker where
// verification stops first (which qortool refuses), every byte before that.
#include "fuzz_file.h"
#include "issue.h"
#include "verify.h"

namespace {

void ignore(void *, int, const char *) {}

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string body_path = scratch_path("body");
    static const std::string path = scratch_path("qor.nfo");
    write_scratch(body_path, data, size);
    std::FILE *body = std::fopen(body_path.c_str(), "rb");
    std::FILE *out = std::fopen(path.c_str(), "w+b");
    IssuedFile issued = issue_information_file(body, out);
    check(!issued.read_failed && !std::ferror(out));
    std::fclose(body);
    std::fclose(out);
    check(issued.length == size && issued.padded >= size);
    check(issued.padded + trailer_length >= size_floor);
    check(issued.padded % chunk_size <= last_marker_start);
    check(issued.stop <= issued.padded);
    check(run_verification({ignore, nullptr}, path));
    std::uint64_t protect =
        issued.stop == issued.padded ? issued.padded + trailer_length - 2 : issued.stop;
    if (protect == 0)
        return 0;
    std::uint64_t at = (size ? data[0] * 7919u + size : 0) % protect;
    std::FILE *f = std::fopen(path.c_str(), "r+b");
    seek_stream(f, static_cast<std::int64_t>(at), SEEK_SET);
    int old = std::fgetc(f);
    seek_stream(f, static_cast<std::int64_t>(at), SEEK_SET);
    std::fputc(old ^ (1 + data[size ? size - 1 : 0] % 255), f);
    std::fclose(f);
    check(!run_verification({ignore, nullptr}, path));
    return 0;
}

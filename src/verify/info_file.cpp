// Reading the information file: opening, measuring and the reads at fixed
// distances from its end. Sizes and offsets are 64-bit on every platform;
// Windows' ftell and fseek are 32-bit.
#include "verify.h"

#ifdef _WIN32
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

int seek_stream(std::FILE *stream, std::int64_t offset, int origin) {
#ifdef _WIN32
    return _fseeki64(stream, offset, origin);
#else
    return fseeko(stream, static_cast<off_t>(offset), origin);
#endif
}

namespace {

std::int64_t tell(std::FILE *stream) {
#ifdef _WIN32
    return _ftelli64(stream);
#else
    return ftello(stream);
#endif
}

} // namespace

std::FILE *open_information_file(const char *path) {
#ifdef _WIN32
    std::FILE *stream = std::fopen(path, "rb");
    if (!stream)
        return nullptr;
    struct _stat64 st;
    if (_fstat64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
#else
    // Non-blocking, so that a pipe without a writer is refused instead of
    // waiting; the flag makes no difference to reading a regular file.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    std::FILE *stream = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        stream = fdopen(fd, "rb");
    if (!stream)
        close(fd);
    return stream;
#endif
}

bool measure_file(std::FILE *stream, std::uint64_t *size) {
    if (seek_stream(stream, 0, SEEK_END) != 0)
        return false;
    std::int64_t end = tell(stream);
    if (end < 0)
        return false;
    *size = static_cast<std::uint64_t>(end);
    return true;
}

void read_from_end(std::FILE *stream, std::size_t offset, std::uint8_t *buffer,
                   std::size_t length) {
    seek_stream(stream, -static_cast<std::int64_t>(offset), SEEK_END);
    // A short read leaves zero bytes, which the stage's test rejects.
    (void)std::fread(buffer, 1, length, stream);
}

CheckValue content_check_value(std::FILE *stream, std::uint64_t *summed, const KeyMaterial &key) {
    ContentSums sums = start_content_sums(key);
    seek_stream(stream, 0, SEEK_SET);
    *summed = scan_content(stream, sums);
    return fold_digest(compute_digest(sums, key));
}

// Reading the information file: opening, measuring and the reads at fixed
// distances from its end. Sizes and offsets are 64-bit on every platform;
// Windows' ftell and fseek are 32-bit.
#include <cerrno>
#include <cstring>

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

std::FILE *open_regular_file(const std::filesystem::path &path, const char **why) {
    const char *reason = nullptr;
#ifdef _WIN32
    std::FILE *stream = _wfopen(path.c_str(), L"rb");
    if (!stream) {
        // Windows refuses to open a folder with "Permission denied".
        std::error_code ec;
        reason =
            std::filesystem::is_directory(path, ec) ? std::strerror(EISDIR) : std::strerror(errno);
    } else {
        struct _stat64 st;
        if (_fstat64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
            reason =
                (st.st_mode & _S_IFMT) == _S_IFDIR ? std::strerror(EISDIR) : "not a regular file";
            std::fclose(stream);
            stream = nullptr;
        }
    }
#else
    std::FILE *stream = open_regular_file_at(AT_FDCWD, path.c_str(), &reason);
#endif
    if (why && reason)
        *why = reason;
    return stream;
}

#ifndef _WIN32
int open_regular_descriptor_at(int folder, const char *name, struct stat *st, const char **why) {
    const char *reason = nullptr;
    // Non-blocking, so that a pipe without a writer is refused instead of
    // waiting; the flag makes no difference to reading a regular file.
    int fd = openat(folder, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        reason = std::strerror(errno);
    else if (fstat(fd, st) != 0)
        reason = std::strerror(errno);
    else if (S_ISDIR(st->st_mode))
        reason = std::strerror(EISDIR);
    else if (!S_ISREG(st->st_mode))
        reason = "not a regular file";
    if (reason && fd >= 0) {
        close(fd);
        fd = -1;
    }
    if (why && reason)
        *why = reason;
    return fd;
}

std::FILE *open_regular_file_at(int folder, const char *name, const char **why) {
    struct stat st;
    const int fd = open_regular_descriptor_at(folder, name, &st, why);
    if (fd < 0)
        return nullptr;
    std::FILE *stream = fdopen(fd, "rb");
    if (!stream) {
        if (why)
            *why = std::strerror(errno);
        close(fd);
    }
    return stream;
}
#endif

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
    // A short read leaves zero bytes, which the stage's test rejects: the
    // count is not needed.
    std::size_t read = std::fread(buffer, 1, length, stream);
    (void)read;
}

CheckValue content_check_value(std::FILE *stream, std::uint64_t *summed, const ScanBounds &bounds,
                               const KeyMaterial &key) {
    ContentSums sums = start_content_sums(key);
    seek_stream(stream, 0, SEEK_SET);
    *summed = scan_content(stream, sums, bounds);
    return fold_digest(compute_digest(sums, key));
}

bool is_information_file_name(const std::string &name) {
    const std::string wanted = info_file_name;
    if (name.size() != wanted.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c =
            name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        if (c != wanted[i])
            return false;
    }
    return true;
}

#include "walk.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "files.h"
#include "verify.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool same_file_state(const FileIdentity &a, const FileIdentity &b) {
    return a.known && b.known && a.size == b.size && a.modified_ns == b.modified_ns &&
           a.changed_ns == b.changed_ns && a.device == b.device && a.inode == b.inode;
}

std::string walk_error_text(int error) {
    if (error == ELOOP)
        return "a symbolic link, not followed";
    return std::strerror(error);
}

#ifdef _WIN32

struct FolderHandle {
    std::wstring path; // in the long form
    HANDLE handle;
    FolderHandle(std::wstring p, HANDLE h) : path(std::move(p)), handle(h) {}
    ~FolderHandle() { CloseHandle(handle); }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
};

namespace {

// Opens a folder by its long path. A reparse point (a junction or a
// symbolic link) is refused unless `follow`; so is anything but a folder.
Folder open_folder(const std::wstring &path, bool follow, int &error) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = errno_of_windows_error(GetLastError());
        return nullptr;
    }
    Folder folder = std::make_shared<const FolderHandle>(path, h);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        error = errno_of_windows_error(GetLastError());
        return nullptr;
    }
    if (!follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = ELOOP;
        return nullptr;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = ENOTDIR;
        return nullptr;
    }
    return folder;
}

} // namespace

std::wstring long_path(const std::wstring &path) {
    const std::wstring prefix = L"\\\\?\\";
    if (path.compare(0, prefix.size(), prefix) == 0)
        return path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    full.resize(n);
    if (full.compare(0, 2, L"\\\\") == 0) // \\server\share
        return prefix + L"UNC" + full.substr(1);
    return prefix + full;
}

std::filesystem::path reachable_path(const std::string &given) {
    return long_path(path_from_argument(given).wstring());
}

namespace {

// An entry of an open folder, in the long form that is never normalised:
// one separator between them, also after a folder named with one at its end.
std::wstring child_path(const Folder &folder, const std::string &name) {
    const std::wstring &path = folder->path;
    return path + (!path.empty() && path.back() == L'\\' ? L"" : L"\\") + wide_from_utf8(name);
}

} // namespace

Folder open_operand_folder(const std::string &path, int &error) {
    return open_folder(reachable_path(path).wstring(), true, error);
}

Folder open_subfolder(const Folder &parent, const std::string &name, int &error) {
    return open_folder(child_path(parent, name), false, error);
}

int list_folder(const Folder &folder, std::vector<FolderEntry> &entries) {
    // Listed through the handle opened, so what is listed is the folder
    // that was checked when it was opened.
    alignas(8) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder->handle, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        for (unsigned char *at = buffer;;) {
            auto *entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO *>(at);
            std::string name =
                utf8_from_wide(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            DWORD attributes = entry->FileAttributes;
            if (name != "." && name != "..")
                entries.push_back({name, (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                                             !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)});
            if (!entry->NextEntryOffset)
                break;
            at += entry->NextEntryOffset;
        }
    }
    DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : errno_of_windows_error(error);
}

std::FILE *open_file_in(const Folder &folder, const std::string &name, const char **why,
                        OpenedFile *described, FileAhead *) {
    std::FILE *stream = open_regular_file(std::filesystem::path(child_path(folder, name)), why);
    if (stream && described)
        *described = {identity_of_stream(stream), {}};
    return stream;
}

void request_file_in(const Folder &, const std::string &, FileAhead &) {}

FileAhead::~FileAhead() {}

namespace {

FileIdentity identity_of_handle(HANDLE h) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandle(h, &info) &&
        GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
        // Times in 100 ns since 1601, 11644473600 seconds before 1970.
        auto since_1970 = [](std::int64_t ticks) { return (ticks - 116444736000000000) * 100; };
        identity.known = true;
        identity.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
        identity.modified_ns = since_1970(basic.LastWriteTime.QuadPart);
        identity.changed_ns = since_1970(basic.ChangeTime.QuadPart);
        identity.device = info.dwVolumeSerialNumber;
        identity.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    }
    return identity;
}

} // namespace

FileIdentity identity_of_path(const std::filesystem::path &path) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    FileIdentity identity = identity_of_handle(h);
    CloseHandle(h);
    return identity;
}

FileIdentity identity_of_stream(std::FILE *stream) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return h == INVALID_HANDLE_VALUE ? FileIdentity{} : identity_of_handle(h);
}

FileIdentity identity_of_file_in(const Folder &folder, const std::string &name) {
    return identity_of_path(std::filesystem::path(child_path(folder, name)));
}

#else

struct FolderHandle {
    int fd;
    bool listable; // opened for reading, not only as a path (O_PATH)
    mutable std::atomic<bool> listed{false};
    FolderHandle(int f, bool l) : fd(f), listable(l) {}
    ~FolderHandle() { close(fd); }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
};

namespace {

Folder folder_or_error(int fd, bool listable, int &error) {
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::make_shared<const FolderHandle>(fd, listable);
}

} // namespace

std::filesystem::path reachable_path(const std::string &given) { return given; }

Folder open_operand_folder(const std::string &path, int &error) {
    // O_PATH: a folder that may be searched but not listed still has its
    // information file opened by name.
    return folder_or_error(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), false, error);
}

Folder open_subfolder(const Folder &parent, const std::string &name, int &error) {
    int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Folder folder = folder_or_error(openat(parent->fd, name.c_str(), flags), true, error);
    // With O_DIRECTORY, Linux refuses a link as "Not a directory": say what
    // it is.
    struct stat st;
    if (!folder && error == ENOTDIR &&
        fstatat(parent->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        error = ELOOP;
    return folder;
}

int list_folder(const Folder &folder, std::vector<FolderEntry> &entries) {
    // A subfolder of the walk is listed through its own descriptor, which
    // the workers only open files through (three system calls a folder
    // fewer); an operand's handle (O_PATH) cannot be read, and gets a
    // descriptor of its own.
    int fd = folder->fd;
    if (!folder->listable) {
        fd = openat(folder->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return errno;
    } else if (folder->listed.exchange(true) && lseek(fd, 0, SEEK_SET) < 0) {
        return errno;
    }
    alignas(dirent64) char buffer[32768];
    int error = 0;
    for (;;) {
        const ssize_t n = getdents64(fd, buffer, sizeof buffer);
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            at += entry->d_reclen;
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            bool is_folder = entry->d_type == DT_DIR;
            struct stat st;
            if (entry->d_type == DT_UNKNOWN &&
                fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                is_folder = S_ISDIR(st.st_mode);
            entries.push_back({name, is_folder});
        }
    }
    if (!folder->listable)
        close(fd);
    return error;
}

namespace {

FileIdentity identity_of(const struct stat &st);

// A file read whole, as a stream: it owns the bytes and frees them when
// closed.
struct MemoryFile {
    std::vector<char> bytes;
    std::size_t at = 0;
};

ssize_t read_memory(void *cookie, char *buffer, std::size_t size) {
    auto &f = *static_cast<MemoryFile *>(cookie);
    const std::size_t n = std::min(size, f.bytes.size() - f.at);
    std::memcpy(buffer, f.bytes.data() + f.at, n);
    f.at += n;
    return static_cast<ssize_t>(n);
}

int seek_memory(void *cookie, off64_t *offset, int whence) {
    auto &f = *static_cast<MemoryFile *>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(f.at)
                                              : static_cast<off64_t>(f.bytes.size());
    const off64_t to = base + *offset;
    if (to < 0) {
        errno = EINVAL;
        return -1;
    }
    // Past the end reads nothing, as a file does.
    f.at = std::min(static_cast<std::size_t>(to), f.bytes.size());
    *offset = to;
    return 0;
}

int close_memory(void *cookie) {
    delete static_cast<MemoryFile *>(cookie);
    return 0;
}

// Files up to this size are read whole.
constexpr off_t whole_file_limit = 1 << 20;

} // namespace

std::FILE *open_file_in(const Folder &folder, const std::string &name, const char **why,
                        OpenedFile *described, FileAhead *ahead) {
    struct stat st;
    int fd = ahead ? std::exchange(ahead->descriptor, -1) : -1;
    off_t size;
    if (fd >= 0) {
        size = static_cast<off_t>(ahead->opened.size);
        if (described)
            described->opened = ahead->opened;
    } else {
        fd = open_regular_descriptor_at(folder->fd, name.c_str(), &st, why);
        if (fd < 0)
            return nullptr;
        size = st.st_size;
        if (described)
            described->opened = identity_of(st);
    }
    if (size > whole_file_limit) {
        std::FILE *stream = fdopen(fd, "rb");
        if (!stream) {
            *why = std::strerror(errno);
            close(fd);
        }
        return stream;
    }
    // One byte more than the size asks for, so that a file that grew is
    // read as it is now, up to the limit.
    auto *file = new MemoryFile;
    file->bytes.resize(static_cast<std::size_t>(size) + 1);
    std::size_t got = 0;
    int read_error = 0;
    while (got < file->bytes.size()) {
        const ssize_t n = read(fd, file->bytes.data() + got, file->bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            read_error = n < 0 ? errno : 0;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    file->bytes.resize(got);
    if (described && fstat(fd, &st) == 0)
        described->read_whole = identity_of(st);
    close(fd);
    // A file that cannot be read is not there for the run.
    if (read_error) {
        *why = std::strerror(read_error);
        delete file;
        return nullptr;
    }
    std::FILE *stream = fopencookie(file, "rb", {read_memory, nullptr, seek_memory, close_memory});
    if (!stream) {
        *why = std::strerror(errno);
        delete file;
    }
    return stream;
}

void request_file_in(const Folder &folder, const std::string &name, FileAhead &ahead) {
    struct stat st;
    const int fd = open_regular_descriptor_at(folder->fd, name.c_str(), &st, nullptr);
    if (fd < 0)
        return; // the reading opens it itself, and says why it cannot
    posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    if (ahead.descriptor >= 0)
        close(ahead.descriptor);
    ahead.descriptor = fd;
    ahead.opened = identity_of(st);
}

FileAhead::~FileAhead() {
    if (descriptor >= 0)
        close(descriptor);
}

namespace {

FileIdentity identity_of(const struct stat &st) {
    FileIdentity identity;
    identity.known = true;
    identity.size = static_cast<std::uint64_t>(st.st_size);
    identity.modified_ns = st.st_mtim.tv_sec * std::int64_t{1000000000} + st.st_mtim.tv_nsec;
    identity.changed_ns = st.st_ctim.tv_sec * std::int64_t{1000000000} + st.st_ctim.tv_nsec;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    return identity;
}

} // namespace

FileIdentity identity_of_file_in(const Folder &folder, const std::string &name) {
    struct stat st;
    return fstatat(folder->fd, name.c_str(), &st, 0) == 0 ? identity_of(st) : FileIdentity{};
}

FileIdentity identity_of_path(const std::filesystem::path &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? identity_of(st) : FileIdentity{};
}

FileIdentity identity_of_stream(std::FILE *stream) {
    struct stat st;
    return fstat(fileno(stream), &st) == 0 ? identity_of(st) : FileIdentity{};
}

#endif

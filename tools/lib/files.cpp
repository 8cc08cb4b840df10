// Writing files safely, and the rest of what qortool needs of the operating
// system, on Linux and on Windows.
#include "files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "names.h"

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The temporary file being written, removed if the user interrupts. Its
// name is written here before the file is created, and cleared only after
// it has been renamed or removed.
fs::path::value_type temp_name[4096];

extern "C" void remove_temp_and_exit(int signal) {
#ifdef _WIN32
    if (temp_name[0])
        _wunlink(temp_name);
#else
    if (temp_name[0])
        unlink(temp_name);
#endif
    std::_Exit(128 + signal);
}

void report_failure(const fs::path &path, const char *what, int error) {
    report(display_name(path), what, std::strerror(error));
}

// The folder a file is in, as a path that names it also when it is the
// current one.
fs::path folder_of(const fs::path &path) {
    fs::path folder = path.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

#ifdef _WIN32

// Creates temp_name in the folder with a random name that nothing holds
// yet; a name already taken, by a file or a link, is never opened.
int create_temp(const fs::path &folder) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned random = 0;
        if (!random_bytes(&random, sizeof random))
            return -1;
        wchar_t name[32];
        std::swprintf(name, 32, L".qor-%08x.tmp", random);
        std::wstring temp = (folder / name).wstring();
        if (temp.size() >= std::size(temp_name)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::wcscpy(temp_name, temp.c_str());
        int fd = -1;
        errno = _wsopen_s(&fd, temp_name, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _SH_DENYNO,
                          _S_IREAD | _S_IWRITE);
        if (fd >= 0)
            return fd;
        temp_name[0] = 0;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool flush_to_disk(std::FILE *f) { return std::fflush(f) == 0 && _commit(_fileno(f)) == 0; }

// Modes and owners are the folder's access lists on Windows: nothing to keep.
bool keep_owner_and_mode(int, const fs::path &, Replace, Secrecy) { return true; }

bool put_in_place(const fs::path &path, Replace replace) {
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (replace == Replace::allowed)
        flags |= MOVEFILE_REPLACE_EXISTING;
    if (MoveFileExW(temp_name, path.c_str(), flags))
        return true;
    errno = errno_of_windows_error(GetLastError());
    return false;
}

void remove_temp() { _wunlink(temp_name); }

#else

int create_temp(const fs::path &folder) {
    // mkstemp opens with O_CREAT | O_EXCL, mode 0600: an existing name, a
    // symlink to anywhere included, is never opened. The short name fits
    // beside any name the file system allows.
    std::string temp = (folder / ".qor-XXXXXX").string();
    if (temp.size() >= sizeof temp_name) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(temp_name, temp.c_str(), temp.size() + 1);
    int fd = mkstemp(temp_name);
    if (fd < 0)
        temp_name[0] = 0;
    return fd;
}

bool flush_to_disk(std::FILE *f) { return std::fflush(f) == 0 && fsync(fileno(f)) == 0; }

// Gives the temporary file the mode and owner that `path` should have once
// it is in place. Owner first: a change of owner clears the set-id bits.
bool keep_owner_and_mode(int fd, const fs::path &path, Replace replace, Secrecy secrecy) {
    struct stat old;
    bool replacing =
        replace == Replace::allowed && lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    if (replacing) {
        mode = old.st_mode & 07777;
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(fd, old.st_uid, old.st_gid) != 0)
            mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    if (secrecy == Secrecy::secret)
        mode = 0600;
    return fchmod(fd, mode) == 0;
}

bool put_in_place(const fs::path &path, Replace replace) {
    if (replace == Replace::allowed)
        return rename(temp_name, path.c_str()) == 0;
    // Fails where anything exists at `path`, whatever appeared there since
    // the tool looked. A file system without that kind of rename gets the
    // same through a hard link.
    if (renameat2(AT_FDCWD, temp_name, AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (link(temp_name, path.c_str()) != 0)
        return false;
    unlink(temp_name);
    return true;
}

void remove_temp() { unlink(temp_name); }

#endif

} // namespace

#ifdef _WIN32

int errno_of_windows_error(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    default: return EIO;
    }
}

std::wstring wide_from_utf8(const std::string &utf8) {
    const int size = static_cast<int>(utf8.size());
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
    return out;
}

std::string utf8_from_wide(const wchar_t *text, std::size_t length) {
    const int size = static_cast<int>(length);
    int n = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, out.data(), n, nullptr, nullptr);
    return out;
}

std::vector<std::string> program_arguments(int, char **) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> arguments;
    for (int i = 0; argv && i < argc; ++i)
        arguments.push_back(utf8_from_wide(argv[i], std::wcslen(argv[i])));
    LocalFree(argv);
    return arguments;
}

fs::path path_from_argument(const std::string &argument) {
    return fs::path(std::u8string(argument.begin(), argument.end()));
}

std::FILE *open_file(const fs::path &path, const char *mode) {
    std::wstring wide_mode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wide_mode.c_str());
}

#else

std::vector<std::string> program_arguments(int argc, char **argv) {
    return std::vector<std::string>(argv, argv + argc);
}

fs::path path_from_argument(const std::string &argument) { return fs::path(argument); }

std::FILE *open_file(const fs::path &path, const char *mode) {
    return std::fopen(path.c_str(), mode);
}

#endif

void prepare_process() {
#ifdef _WIN32
    // The console shows what the tool prints as UTF-8 while it runs;
    // redirected output is UTF-8 bytes in any case.
    static const UINT console_code_page = GetConsoleOutputCP();
    if (console_code_page && SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { SetConsoleOutputCP(console_code_page); });
#else
    // A closed standard stream is opened on the null device, the wrong way
    // round, so that reading standard input or writing output fails as it
    // would have, instead of a file the tool opens getting its number.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    // The walk of verify -r holds a folder handle for each level of depth:
    // as many as the system allows.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Past a file size limit, a write then fails with an error that is
    // reported and cleaned up, instead of killing the process mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
        // A signal the process was started ignoring stays ignored: nohup and
        // trap '' mean that the run should survive it.
#ifdef _WIN32
    const int cleaned_up[] = {SIGINT, SIGTERM};
#else
    const int cleaned_up[] = {SIGHUP, SIGINT, SIGTERM};
#endif
    for (int signal : cleaned_up) {
#ifdef _WIN32
        if (std::signal(signal, remove_temp_and_exit) == SIG_IGN)
            std::signal(signal, SIG_IGN);
#else
        struct sigaction inherited;
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
            std::signal(signal, remove_temp_and_exit);
#endif
    }
}

bool write_file_safely(const fs::path &path, Replace replace, Secrecy secrecy,
                       const std::function<bool(std::FILE *)> &fill) {
    std::error_code ec;
    // Checked early too, so that a long body is not read in vain; put_in_place
    // holds to it in the end.
    if (replace == Replace::never && fs::exists(fs::symlink_status(path, ec))) {
        report(display_name(path), "already exists (use --force to replace it)");
        return false;
    }
    int fd = create_temp(folder_of(path));
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        report_failure(folder_of(path), "", errno);
        return false;
    }
    if (fd < 0) {
        report_failure(path, "cannot create a temporary file beside it", errno);
        return false;
    }
    std::FILE *f = fdopen(fd, "w+b");
    if (!f) {
        report_failure(path, "cannot create a temporary file beside it", errno);
        close(fd);
        remove_temp();
        temp_name[0] = 0;
        return false;
    }
    bool ok = fill(f);
    if (std::ferror(f) || (ok && !flush_to_disk(f))) {
        report_failure(path, "write failed", errno ? errno : EIO);
        ok = false;
    }
    if (ok && !keep_owner_and_mode(fileno(f), path, replace, secrecy)) {
        report_failure(path, "cannot set the mode", errno);
        ok = false;
    }
    if (std::fclose(f) != 0 && ok) {
        report_failure(path, "write failed", errno);
        ok = false;
    }
    if (ok && !put_in_place(path, replace)) {
        if (errno == EEXIST)
            report(display_name(path), "appeared while it was written; left alone");
        else
            report_failure(path, "cannot put the new file in place", errno);
        ok = false;
    }
    if (!ok)
        remove_temp();
    temp_name[0] = 0;
    return ok;
}

void set_binary_mode(std::FILE *stream) {
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

void end_at_once() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 137);
#else
    raise(SIGKILL);
#endif
    std::_Exit(137);
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

std::size_t terminal_width() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    return 0;
#else
    struct winsize size = {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
#endif
}

std::string display_name(const fs::path &path) {
#ifdef _WIN32
    std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
#else
    return path.string();
#endif
}

void FileCloser::operator()(std::FILE *f) const {
    if (f && f != stdin && f != stdout && f != stderr)
        std::fclose(f);
}

bool random_bytes(void *buffer, std::size_t length) {
#ifdef _WIN32
    if (BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(length),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0)
        return true;
    errno = EIO;
    return false;
#else
    auto *bytes = static_cast<unsigned char *>(buffer);
    for (std::size_t done = 0; done < length;) {
        ssize_t n = getrandom(bytes + done, length - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
#endif
}

namespace {

// In the page at 1 GiB that SQLite never reads or writes and whose first
// 512 bytes hold its own locks.
constexpr std::uint64_t held_byte = 0x40000000 + 1024;

} // namespace

#ifdef _WIN32

bool hold_file(const fs::path &path, HeldFile &held) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ENOENT;
        return false;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(held_byte);
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        errno = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EACCES;
        CloseHandle(h);
        return false;
    }
    held.handle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

void release_file(HeldFile &held) {
    if (held.handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(held.handle));
    held.handle = -1;
}

bool file_is_held(const fs::path &path) {
    HeldFile probe;
    if (hold_file(path, probe)) {
        release_file(probe);
        return false;
    }
    return errno == EWOULDBLOCK;
}

std::string untrusted_because(const fs::path &) { return ""; }

void create_private_file(const fs::path &) {}

#else

namespace {

// An open file description's lock: unlike a process's record lock, closing
// another descriptor of the file does not drop it.
struct flock held_range(short type) {
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(held_byte);
    range.l_len = 1;
    return range;
}

} // namespace

bool hold_file(const fs::path &path, HeldFile &held) {
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock range = held_range(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &range) != 0) {
        const int why = errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
        close(fd);
        errno = why;
        return false;
    }
    held.handle = fd;
    return true;
}

void release_file(HeldFile &held) {
    if (held.handle != -1)
        close(static_cast<int>(held.handle));
    held.handle = -1;
}

bool file_is_held(const fs::path &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock range = held_range(F_WRLCK);
    const bool held = fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
    close(fd);
    return held;
}

void create_private_file(const fs::path &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
}

std::string untrusted_because(const fs::path &path) {
    const uid_t me = geteuid();
    auto fault = [me](const struct stat &st, const char *what) -> std::string {
        if (st.st_uid != me && st.st_uid != 0)
            return std::string(what) + " belongs to another user";
        if (st.st_mode & (S_IWGRP | S_IWOTH))
            return std::string(what) + " can be written by other users";
        return "";
    };
    struct stat st;
    // A link's own mode says nothing; the link is refused where it is opened.
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        if (std::string why = fault(st, "it"); !why.empty())
            return why;
    fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (stat(folder.c_str(), &st) == 0)
        return fault(st, "the folder that holds it");
    return "";
}

#endif

namespace {

constexpr const char not_a_key_source[] = "not a regular file or a pipe";

} // namespace

#ifdef _WIN32

std::FILE *open_key_source(const fs::path &path, const char **why) {
    std::FILE *f = _wfopen(path.c_str(), L"rb");
    if (!f) {
        std::error_code ec;
        *why = fs::is_directory(path, ec) ? std::strerror(EISDIR) : std::strerror(errno);
        return nullptr;
    }
    const DWORD type = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))));
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) {
        std::fclose(f);
        *why = not_a_key_source;
        return nullptr;
    }
    return f;
}

#else

std::FILE *open_key_source(const fs::path &path, const char **why) {
    // An inherited descriptor is taken as it is: a socket has no name to
    // open again, and a pipe's writer is already there.
    int fd = -1;
    const std::string name = path.string();
    for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"})
        if (name.compare(0, std::strlen(prefix), prefix) == 0 &&
            name.find_first_not_of("0123456789", std::strlen(prefix)) == std::string::npos &&
            name.size() > std::strlen(prefix))
            fd = fcntl(std::atoi(name.c_str() + std::strlen(prefix)), F_DUPFD_CLOEXEC, 3);
    if (name == "/dev/stdin")
        fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    // Otherwise opened without waiting, to see what it is first.
    if (fd < 0)
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode) ||
        !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        *why = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : not_a_key_source;
        close(fd);
        return nullptr;
    }
    // Reads wait for the writer from here on.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE *f = fdopen(fd, "rb");
    if (!f) {
        *why = std::strerror(errno);
        close(fd);
    }
    return f;
}

#endif

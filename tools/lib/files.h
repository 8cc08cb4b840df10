// The command line's platform layer: writing a file safely, the error
// reporter, and what else qortool needs of the operating system. Its
// platform #ifs are in files.cpp; the walk has its own (walk.h, walk.cpp),
// and so have names.cpp (the backslash as a separator), places.cpp (Windows
// drive letters) and releases.cpp (the longest list line). May include the
// core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "messages.h"

// A stream that closes itself; the standard streams are never closed.
struct FileCloser {
    void operator()(std::FILE *f) const;
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The command line's arguments, as UTF-8 on Windows (where they arrive as
// wide characters) and as given on Linux, where paths are bytes.
std::vector<std::string> program_arguments(int argc, char **argv);

#ifdef _WIN32
// The one conversion between UTF-8 and Windows' wide characters, and the
// one map of a Windows error to an errno value.
std::wstring wide_from_utf8(const std::string &utf8);
std::string utf8_from_wide(const wchar_t *text, std::size_t length);
int errno_of_windows_error(unsigned long error);
#endif

// The path that an argument names.
std::filesystem::path path_from_argument(const std::string &argument);

// fopen for a path, in wide characters on Windows.
std::FILE *open_file(const std::filesystem::path &path, const char *mode);

// Sets up the process: output to a Windows console is shown as UTF-8; standard streams that were
// closed are opened on the null device (so that no file the tool opens takes their place), the
// temporary file is removed on SIGHUP, SIGINT and SIGTERM (those the process was not started
// ignoring, as nohup and trap '' do), a file size
// limit makes a write fail instead of killing the process, and the limit of
// open files is raised as far as it goes.
void prepare_process();

enum class Replace { never, allowed };
enum class Secrecy { normal, secret };

// Writes `path` through a temporary file that is created exclusively, under
// an unpredictable name, in the same folder, and then put in place:
// - Replace::never puts it in place only if nothing exists at `path` at that
//   moment; Replace::allowed replaces what is there;
// - a replaced file keeps its mode and, where the tool may set them, its
//   owner and group; where it may not, the set-uid and set-gid bits are
//   dropped; a new file gets the usual mode (0666 less the umask);
// - a secret is 0600 from its creation on, also when it replaces a file.
// `fill` writes the content and stops at its first failed write, which is
// reported here, naming `path`; it returns false after reporting a failure
// of its own.
// Nothing is left behind when anything fails.
bool write_file_safely(const std::filesystem::path &path, Replace replace, Secrecy secrecy,
                       const std::function<bool(std::FILE *)> &fill);

// Fills `buffer` from the operating system's random generator (getrandom on
// Linux, BCryptGenRandom on Windows). Returns false, with errno set, when it
// cannot.
bool random_bytes(void *buffer, std::size_t length);

// Reads `stream` without text translation (standard input on Windows).
void set_binary_mode(std::FILE *stream);

// Ends the process as a kill does: nothing flushed, nothing closed.
[[noreturn]] void end_at_once();

// Whether standard error goes to a terminal.
bool stderr_is_terminal();
// The columns of the terminal that standard error goes to; 0 when unknown.
std::size_t terminal_width();

// The path as the user should read it in a message: UTF-8 on Windows.
std::string display_name(const std::filesystem::path &path);

// A hold on a file that one process at a time may have: taken on a
// descriptor of its own, on one byte that no database library locks or
// reads (in the page SQLite keeps for its own locks), so that it neither
// meets nor drops the library's locks. Kept until `release_file`, which is
// called after the library has closed the file.
struct HeldFile {
    std::intptr_t handle = -1;
};
// Takes the hold at once or not at all: false with errno EWOULDBLOCK when
// another process has it, or another errno value.
bool hold_file(const std::filesystem::path &path, HeldFile &held);
void release_file(HeldFile &held);
// Whether another process holds the file now. Linux asks without taking
// the hold; Windows can only try it, and lets go at once.
bool file_is_held(const std::filesystem::path &path);

// Why the tool must not trust `path`, a file whose content decides what it
// reports, or a file it would create there: a user other than the caller
// and root owns it or its folder, or can write to either (a shared sticky
// folder too, where a file beside it can be planted). Empty when neither.
// Windows: always empty (access lists are not examined).
std::string untrusted_because(const std::filesystem::path &path);

// Opens what --key names for reading: a regular file, or a pipe, a socket
// or a descriptor the tool inherited (/dev/stdin, /dev/fd/N, a process
// substitution, a named FIFO, whose writer it waits for), so that a key
// need never be written to disk. Null with the reason in `why`, which is
// "not a regular file or a pipe" for a device such as /dev/zero.
std::FILE *open_key_source(const std::filesystem::path &path, const char **why);

// Makes `path` as an empty file that only its owner may read or write,
// unless something is there already (never through a link). A database
// made so keeps that mode, and the library gives its journal and log the
// same. Windows: does nothing (a file there has its folder's access list).
void create_private_file(const std::filesystem::path &path);

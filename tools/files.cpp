// Writing files safely, and the rest of what qortool needs of the operating
// system, on Linux and on Windows.
#include "files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The temporary file being written, removed if the user interrupts.
char interrupted_temp[4096];

extern "C" void remove_temp_and_exit(int signal) {
    if (interrupted_temp[0])
        std::remove(interrupted_temp);
    std::_Exit(128 + signal);
}

bool flush_to_disk(std::FILE *f) {
    if (std::fflush(f) != 0)
        return false;
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

} // namespace

void remove_temp_on_interrupt() {
    std::signal(SIGINT, remove_temp_and_exit);
    std::signal(SIGTERM, remove_temp_and_exit);
#ifdef SIGXFSZ
    // Past a file size limit, a write then fails with an error that is
    // reported and cleaned up, instead of killing the process mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool write_atomically(const std::string &path, bool force,
                      const std::function<bool(std::FILE *)> &fill) {
    std::error_code ec;
    if (!force && fs::exists(fs::symlink_status(path, ec))) {
        std::fprintf(stderr, "qortool: %s: already exists (use --force to replace it)\n",
                     path.c_str());
        return false;
    }
    std::string temp = path + ".tmp-" + std::to_string(getpid());
    if (temp.size() < sizeof interrupted_temp)
        std::memcpy(interrupted_temp, temp.c_str(), temp.size() + 1);
    std::FILE *f = std::fopen(temp.c_str(), "w+b");
    if (!f) {
        std::fprintf(stderr, "qortool: %s: cannot create a temporary file beside it: %s\n",
                     path.c_str(), std::strerror(errno));
        return false;
    }
    bool filled = fill(f);
    bool written = !std::ferror(f) && flush_to_disk(f);
    written = std::fclose(f) == 0 && written;
    if (!written)
        std::fprintf(stderr, "qortool: %s: write failed: %s\n", temp.c_str(), std::strerror(errno));
    bool ok = filled && written;
    if (ok) {
        fs::rename(temp, path, ec);
        if (ec) {
            std::fprintf(stderr, "qortool: %s: cannot replace: %s\n", path.c_str(),
                         ec.message().c_str());
            ok = false;
        }
    }
    if (!ok)
        fs::remove(temp, ec);
    interrupted_temp[0] = 0;
    return ok;
}

void set_binary_mode(std::FILE *stream) {
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

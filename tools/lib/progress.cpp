#include "progress.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "files.h"

Progress::Progress(bool shown, std::uint64_t total_bytes, std::uint64_t total_releases)
    : shown_(shown), total_(total_bytes), total_releases_(total_releases), start_(clock::now()) {
    // Without a thread for it, the work goes on without a progress line.
    try {
        if (shown_)
            thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        shown_ = false;
    }
}

Progress::~Progress() {
    if (!shown_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    wipe();
}

std::unique_lock<std::mutex> Progress::wipe() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (drawn_)
        std::fputs("\r\033[K", stderr);
    drawn_ = false;
    return lock;
}

void Progress::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) {
        double seconds = std::chrono::duration<double>(clock::now() - start_).count();
        if (seconds < 1)
            continue; // short work shows nothing
        double rate = static_cast<double>(bytes) / seconds;
        const std::uint64_t done = releases.load();
        char count[48] = "";
        if (total_releases_)
            std::snprintf(count, sizeof count, "/%llu",
                          static_cast<unsigned long long>(total_releases_));
        char line[200];
        int n = std::snprintf(line, sizeof line, "\rreleases checked: %llu%s, %.1f MB, %.1f MB/s",
                              static_cast<unsigned long long>(done), count,
                              static_cast<double>(bytes) / 1e6, rate / 1e6);
        double left = -1;
        if (total_ && rate > 0 && bytes < total_)
            left = static_cast<double>(total_ - bytes) / rate;
        else if (total_releases_ && done > 0 && done < total_releases_)
            left =
                seconds * static_cast<double>(total_releases_ - done) / static_cast<double>(done);
        if (left >= 0)
            std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ", %.0f s left",
                          left);
        // Cut to the terminal's width: a line that wraps is not wiped
        // whole. The line is ASCII, a byte a column.
        const std::size_t width = terminal_width();
        if (width > 1 && std::strlen(line) > width)
            line[width] = 0; // its leading CR takes no column
        std::fputs(line, stderr);
        std::fputs("\033[K", stderr);
        std::fflush(stderr);
        drawn_ = true;
    }
}

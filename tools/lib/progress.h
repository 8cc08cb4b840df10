// The progress line of a long run of verify on a terminal. May include the
// library.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// A line on standard error, updated in place while the work is long, and
// wiped when it ends or when a result is printed.
class Progress {
  public:
    // The total is known in bytes for one release, and in releases from the
    // last run of a state database; 0 where it is not known.
    Progress(bool shown, std::uint64_t total_bytes, std::uint64_t total_releases);
    ~Progress();
    // Wipes the line before results go to the same terminal, and keeps it
    // from being drawn again until the returned lock goes, so that no result
    // is glued onto it.
    std::unique_lock<std::mutex> wipe();
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> releases{0};

  private:
    using clock = std::chrono::steady_clock;

    void run();

    bool shown_;
    std::uint64_t total_, total_releases_;
    clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool drawn_ = false;
    std::thread thread_;
};

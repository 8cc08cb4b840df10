#include "pool.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "files.h"
#include "judging.h"

namespace {

// Checks the releases one by one in this thread, printing each as it is
// judged: one worker needs no hand-over.
void check_serially(Releases &releases, const Settings &settings, Progress &progress,
                    const std::function<bool(const Judgement &)> &print) {
    Release release;
    while (releases.next(release)) {
        Judgement judgement = judge_entry(release, settings, progress.bytes);
        bool go_on;
        {
            auto held = progress.wipe();
            go_on = print(judgement);
        }
        ++progress.releases;
        if (!go_on)
            return;
    }
}

// What the workers and the printing share. `source` guards the releases,
// which may wait on a slow list; `mutex` the rest, so that the printing
// never waits on the list.
struct Shared {
    Shared(Releases &r, const Settings &s, Progress &p)
        : releases(r), settings(s), progress(p), window(64 * s.jobs) {}
    Releases &releases;
    const Settings &settings;
    Progress &progress;
    std::mutex source, mutex;
    std::condition_variable for_workers, for_printing;
    std::map<std::size_t, Judgement> done;
    std::size_t taken = 0, printed = 0, waiting = 0;
    bool exhausted = false, stop = false;
    // A batch wakes the printing; a worker runs at most a window ahead of it.
    static constexpr std::size_t batch = 32;
    const std::size_t window;
};

// A worker: takes the next release, judges it, leaves the judgement for the
// printing; until the releases run out or the run stops.
void work(Shared &s) {
    for (;;) {
        Release release;
        std::size_t index;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            ++s.waiting;
            s.for_workers.wait(
                lock, [&] { return s.stop || s.exhausted || s.taken < s.printed + s.window; });
            --s.waiting;
            if (s.stop || s.exhausted)
                return;
        }
        {
            std::lock_guard<std::mutex> source_lock(s.source);
            bool found = s.releases.next(release);
            std::lock_guard<std::mutex> lock(s.mutex);
            if (!found)
                s.exhausted = true;
            if (!found || s.stop) {
                s.for_workers.notify_all();
                s.for_printing.notify_one();
                return;
            }
            index = s.taken++;
        }
        Judgement judgement = judge_entry(release, s.settings, s.progress.bytes);
        ++s.progress.releases;
        std::lock_guard<std::mutex> lock(s.mutex);
        s.done.emplace(index, std::move(judgement));
        if (s.done.count(s.printed) && (s.done.size() >= s.batch || s.exhausted))
            s.for_printing.notify_one();
    }
}

// Waits for a batch (or a while) and takes every judgement that is ready
// in order. False when there is nothing more to print.
bool take_ready(Shared &s, std::vector<Judgement> &ready) {
    const auto look_again = std::chrono::milliseconds(20);
    std::unique_lock<std::mutex> lock(s.mutex);
    s.for_printing.wait_for(lock, look_again, [&] {
        return s.stop || (s.exhausted && s.printed == s.taken) ||
               (s.done.count(s.printed) && (s.done.size() >= s.batch || s.exhausted));
    });
    for (auto next = s.done.find(s.printed + ready.size()); next != s.done.end();
         next = s.done.find(s.printed + ready.size())) {
        ready.push_back(std::move(next->second));
        s.done.erase(next);
    }
    return !(s.stop || (ready.empty() && s.exhausted && s.printed == s.taken));
}

} // namespace

// Runs `jobs` workers over the releases and hands their judgements to
// `print` in the order the releases came. A worker runs at most a window of
// releases ahead of the printing, so memory stays small. Judgements pass to
// the printing in batches: a worker wakes it when a batch is ready or the
// releases have run out, and it looks on its own a few times a second, so
// that a slow release or a slow list never holds back what is ready. When
// `print` returns false (the output cannot be written), the run ends as soon
// as the workers have finished the releases they hold.
void check_all(Releases &releases, const Settings &settings, Progress &progress,
               const std::function<bool(const Judgement &)> &print) {
    if (settings.jobs == 1)
        return check_serially(releases, settings, progress, print);
    Shared s(releases, settings, progress);
    // As many workers as the system lets start; with none, this thread
    // checks the releases itself.
    std::vector<std::thread> workers;
    try {
        while (workers.size() < settings.jobs)
            workers.emplace_back(work, std::ref(s));
    } catch (const std::system_error &e) {
        report("-j " + std::to_string(settings.jobs),
               "only " + std::to_string(workers.size()) + " workers could start", e.what());
        if (workers.empty())
            return check_serially(releases, settings, progress, print);
    }
    for (std::vector<Judgement> ready; take_ready(s, ready); ready.clear()) {
        bool go_on = true;
        {
            auto held = progress.wipe();
            for (std::size_t handed = 0; go_on && handed < ready.size();)
                go_on = print(ready[handed++]);
        }
        std::lock_guard<std::mutex> lock(s.mutex);
        s.printed += ready.size();
        s.stop = !go_on;
        if (s.waiting)
            s.for_workers.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stop = true;
        s.for_workers.notify_all();
    }
    for (std::thread &worker : workers)
        worker.join();
}

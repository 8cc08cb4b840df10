// The state database of `verify --state` and `audit`: every release that a
// run judged, with the file facts that tell a later run whether it changed.
// One SQLite file on the archivist's machine; one run writes it at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "judgement.h"

struct sqlite3;
struct sqlite3_stmt;

// A run as the database holds it.
struct RunRow {
    std::int64_t id = 0;
    std::int64_t started = 0, ended = 0; // seconds since 1970; ended 0 while unfinished
    bool finished = false;
    std::string arguments, settings;
    std::uint64_t releases = 0;
};

class StateDb {
  public:
    StateDb() = default;
    ~StateDb();
    StateDb(const StateDb &) = delete;
    StateDb &operator=(const StateDb &) = delete;

    // Opens `file` for a run, creating it when it does not exist, and holds
    // it until closed: a second run on it is refused at once. A file that is
    // not such a database, or of a newer version, is refused and left as it
    // is. False with the reason in `error`.
    bool open_for_run(const std::string &file, std::string &error);
    // Opens an existing `file` to read it.
    bool open_for_reading(const std::string &file, std::string &error);

    // Starts a run, or with `resume` takes up the last unfinished one.
    // `settings` names what a verdict depends on (keys, --strict): a
    // recorded verdict is taken over only under the same settings.
    bool start_run(const std::string &arguments, const std::string &settings, bool resume,
                   std::string &error);

    // The release as this run recorded it before it was cut off.
    std::optional<Judgement> in_this_run(const std::string &path);
    // The last recorded judgement of the release under this run's settings.
    std::optional<Judgement> last_judgement(const std::string &path);

    // Records a judgement of this run; the records are committed together
    // every second or every thousand.
    bool record(const Judgement &j, std::string &error);
    // Commits what is left and marks the run finished.
    bool finish(std::string &error);

    // The releases of the last finished run, for the progress line.
    std::uint64_t releases_last_time();

    std::vector<RunRow> runs(std::string &error);

  private:
    friend class RunCursor;
    bool open(const std::string &file, bool for_run, std::string &error);
    bool run_sql(const char *sql, std::string &error);
    std::string failure(const std::string &what);
    bool commit(std::string &error);

    sqlite3 *db_ = nullptr;
    std::string file_;
    std::int64_t run_ = 0;
    std::string settings_;
    sqlite3_stmt *insert_ = nullptr, *in_run_ = nullptr, *last_ = nullptr;
    std::uint64_t pending_ = 0;
    std::chrono::steady_clock::time_point batch_start_;
    std::mutex mutex_; // workers look up while the printer records
};

// The judgements of one run in the order of their paths' bytes.
class RunCursor {
  public:
    RunCursor(StateDb &state, std::int64_t run);
    ~RunCursor();
    RunCursor(const RunCursor &) = delete;
    RunCursor &operator=(const RunCursor &) = delete;
    // The next judgement; false at the end.
    bool next(Judgement &j);

  private:
    sqlite3_stmt *statement_ = nullptr;
};

// Seconds since 1970 as ISO 8601 UTC: 2026-12-10T04:00:00Z.
std::string iso_date(std::int64_t seconds);

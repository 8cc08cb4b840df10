// The state database of `verify --state` and `audit`: every release that a
// run judged, with the file facts that tell a later run whether it changed,
// and what each run looked at. One SQLite file on the archivist's machine;
// one run writes it at a time, and audits read it meanwhile. May include
// the library's judgement.h and places.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "judgement.h"
#include "places.h"

struct sqlite3;
struct sqlite3_stmt;

// A run as the database holds it.
struct RunRow {
    std::int64_t id = 0;
    std::int64_t started = 0, ended = 0; // seconds since 1970; ended 0 while unfinished
    bool finished = false;
    std::string arguments, settings;
    std::uint64_t releases = 0;
    RunScope scope;
};

// Called after each record is written, before it is committed: a test
// program ends the run there. Null in qortool itself.
extern void (*after_each_record)(std::uint64_t records);

class StateDb {
  public:
    StateDb() = default;
    ~StateDb();
    StateDb(const StateDb &) = delete;
    StateDb &operator=(const StateDb &) = delete;

    // Opens `file` for a run, creating it when it does not exist, and holds
    // it until closed: a second run on it is refused at once, while audits
    // may read it. A file that is not such a database, of a newer version,
    // whose tables are not as this version writes them, or that other users
    // could have written, is refused and left as it is; one of an older
    // version is upgraded in place. False with the reason in `error`.
    bool open_for_run(const std::string &file, std::string &error);
    // Opens an existing `file` to read it, also while a run writes it.
    bool open_for_reading(const std::string &file, std::string &error);

    // Starts a run, or with `resume` takes up the latest run if it was cut
    // off, which must have been made under the same settings and scope.
    // `settings` names what a verdict depends on (keys, --strict): a
    // recorded verdict is taken over only under the same settings.
    bool start_run(const std::string &arguments, const std::string &settings, const RunScope &scope,
                   bool resume, std::string &error);

    // The release at `place` as this run recorded it before it was cut off.
    std::optional<Judgement> in_this_run(const std::string &place);
    // The last recorded judgement of the release under this run's settings.
    std::optional<Judgement> last_judgement(const std::string &place);

    // Records a judgement of this run, to be committed with others.
    bool record(const Judgement &j);
    // Whether the records written should be committed now: a thousand of
    // them, or a second since the last commit returned.
    bool commit_due() const;
    bool commit();
    // Commits what is left and marks the run finished.
    bool finish();

    // The first failure of any call, naming the database; empty while none.
    std::string error();

    // The releases of the last finished run, for the progress line.
    std::uint64_t releases_last_time();

    std::vector<RunRow> runs(std::string &error);
    // Whether a run holds the database now.
    bool run_under_way();

    // Each run's genuine, NOT genuine and not checked releases, by run.
    struct VerdictCounts {
        std::int64_t run;
        std::uint64_t genuine, not_genuine, not_checked;
    };
    std::vector<VerdictCounts> verdict_counts(std::string &error);

  private:
    friend class RunCursor;
    bool open(const std::string &file, bool for_run, std::string &error);
    bool prepare_schema(bool for_run, std::string &error);
    bool run_sql(const char *sql, std::string &error);
    std::string failure(const std::string &what);
    void fail(const std::string &what);
    std::optional<Judgement> look_up(sqlite3_stmt *s, bool under_settings);

    sqlite3 *db_ = nullptr;
    HeldFile held_;
    std::string file_;
    std::int64_t run_ = 0;
    std::string settings_;
    sqlite3_stmt *insert_ = nullptr, *in_run_ = nullptr, *last_ = nullptr;
    std::uint64_t pending_ = 0, recorded_ = 0;
    std::chrono::steady_clock::time_point last_commit_;
    std::string error_;
    std::mutex mutex_; // workers look up while the printer records
};

// The judgements of one run in the order of their places: the resolved ones,
// or with `by_spelling` the names as printed, normalised without a folder
// (to compare with a run that recorded no folder); with `unchecked_only`,
// only the entries that could not be checked.
class RunCursor {
  public:
    RunCursor(StateDb &state, std::int64_t run, bool by_spelling, bool unchecked_only = false);
    ~RunCursor();
    RunCursor(const RunCursor &) = delete;
    RunCursor &operator=(const RunCursor &) = delete;
    // The next judgement; false at the end or on a failure, which `error`
    // then names.
    bool next(Judgement &j);
    const std::string &error() const { return error_; }

  private:
    StateDb &state_;
    sqlite3_stmt *statement_ = nullptr;
    std::string error_;
};

// Seconds since 1970 as ISO 8601 UTC: 2026-12-10T04:00:00Z.
std::string iso_date(std::int64_t seconds);

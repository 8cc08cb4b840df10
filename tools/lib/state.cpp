#include "state.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sqlite3.h>

#include "files.h"
#include "names.h"
#include "state_schema.h"
#include "verify.h"

namespace {

std::string column_bytes(sqlite3_stmt *s, int i) {
    const void *p = sqlite3_column_blob(s, i);
    return p ? std::string(static_cast<const char *>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
             : std::string();
}

std::int64_t column_int(sqlite3_stmt *s, int i) { return sqlite3_column_int64(s, i); }

// Texts each ended by a NUL byte, as a scope's lists are stored.
std::string joined_texts(const std::vector<std::string> &texts) {
    std::string all;
    for (const std::string &t : texts)
        all.append(t).push_back('\0');
    return all;
}

std::vector<std::string> split_texts(const std::string &all) {
    std::vector<std::string> texts;
    for (std::size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
        texts.push_back(all.substr(at, end - at));
    return texts;
}

// The status lines of a run that ended at `stage`, as every run shows them:
// the stages before it passed, and it passed or failed. Only lines that
// differ are stored, which keeps a record small.
std::vector<std::string> usual_status(int stage, bool passed) {
    std::vector<std::string> lines;
    for (int i = 0; i < stage && i < 5; ++i)
        lines.push_back(std::string(status_lines[i].stage_text) +
                        (i + 1 < stage || passed ? passed_word : failed_word));
    return lines;
}

// The judgement in a row of `columns`.
Judgement judgement_of_row(sqlite3_stmt *s) {
    Judgement j;
    j.name = column_bytes(s, 0);
    j.relative = column_bytes(s, 1);
    j.checked = column_int(s, 2) != 0;
    j.genuine = column_int(s, 3) != 0;
    j.passed = column_int(s, 4) != 0;
    j.stage = static_cast<int>(column_int(s, 5));
    std::string status = column_bytes(s, 6);
    for (std::size_t at = 0, end; (end = status.find('\n', at)) != std::string::npos; at = end + 1)
        j.status.push_back(status.substr(at, end - at));
    if (status.empty())
        j.status = usual_status(j.stage, j.passed);
    j.reason = column_bytes(s, 7);
    j.missing = column_bytes(s, 8);
    j.key = column_bytes(s, 9);
    j.size = static_cast<std::uint64_t>(column_int(s, 10));
    j.covered = static_cast<std::uint64_t>(column_int(s, 11));
    j.uncovered = static_cast<std::uint64_t>(column_int(s, 12));
    j.identity.known = sqlite3_column_type(s, 13) != SQLITE_NULL;
    j.identity.size = static_cast<std::uint64_t>(column_int(s, 13));
    j.identity.modified_ns = column_int(s, 14);
    j.identity.changed_ns = column_int(s, 15);
    j.identity.device = static_cast<std::uint64_t>(column_int(s, 16));
    j.identity.inode = static_cast<std::uint64_t>(column_int(s, 17));
    j.judged = column_int(s, 18);
    j.was_read = column_int(s, 19) != 0;
    j.place = column_bytes(s, 20);
    return j;
}

void bind_bytes(sqlite3_stmt *s, int i, const std::string &bytes) {
    sqlite3_bind_blob(s, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void bind_int(sqlite3_stmt *s, int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }

// place_of for SQL: qor_place(folder, name).
void place_function(sqlite3_context *context, int, sqlite3_value **values) {
    auto text = [](sqlite3_value *v) {
        const void *p = sqlite3_value_blob(v);
        return p ? std::string(static_cast<const char *>(p),
                               static_cast<std::size_t>(sqlite3_value_bytes(v)))
                 : std::string();
    };
    const std::string place = place_of(text(values[0]), text(values[1]));
    sqlite3_result_blob(context, place.data(), static_cast<int>(place.size()), SQLITE_TRANSIENT);
}

} // namespace

void (*after_each_record)(std::uint64_t records) = nullptr;

std::string iso_date(std::int64_t seconds) {
    // Days to a civil date in the proleptic Gregorian calendar, by eras of
    // 400 years (146097 days) counted from 0000-03-01.
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0)
        rest += 86400, --days;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

StateDb::~StateDb() {
    if (db_) {
        // A run that ends early keeps what it judged: the next --resume goes
        // on from there.
        if (run_ && sqlite3_get_autocommit(db_) == 0)
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        for (sqlite3_stmt *s : {insert_, in_run_, last_})
            sqlite3_finalize(s);
        sqlite3_close(db_);
    }
    // Only after the library closed the file: see HeldFile.
    release_file(held_);
}

std::string StateDb::failure(const std::string &what) {
    std::string text = escaped_name(file_) + ": " + what;
    if (!db_)
        return text;
    const int code = sqlite3_errcode(db_);
    if (code == SQLITE_NOTADB)
        return escaped_name(file_) + ": not a qortool state database";
    const int system = sqlite3_system_errno(db_);
    return text + ": " + (system ? std::strerror(system) : sqlite3_errmsg(db_));
}

void StateDb::fail(const std::string &what) {
    if (error_.empty())
        error_ = failure(what);
}

std::string StateDb::error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

bool StateDb::run_sql(const char *sql, std::string &error) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = failure("cannot use the state database");
    return false;
}

bool StateDb::open(const std::string &file, bool for_run, std::string &error) {
    file_ = file;
    const std::filesystem::path path = path_from_argument(file);
    // A journal or log file that another user planted beside the database
    // would be taken into it on the next open.
    if (const std::string why = untrusted_because(path); !why.empty()) {
        error = escaped_name(file_) + ": not used: " + why;
        return false;
    }
    // What the database holds (which releases a run read, and when) is
    // for its owner alone.
    if (for_run)
        create_private_file(path);
    // Read and write also to read: a run that was killed left a log, which
    // the next connection takes in; and an older database is upgraded.
    const int flags = SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_READWRITE |
                      (for_run ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error = sqlite3_extended_errcode(db_) == SQLITE_CANTOPEN_SYMLINK
                    ? escaped_name(file_) + ": a symbolic link, not followed"
                    : failure("cannot open the state database");
        return false;
    }
    if (for_run && sqlite3_db_readonly(db_, "main") == 1) {
        error = escaped_name(file_) + ": cannot write the state database: it is read-only";
        return false;
    }
    // One run at a time, refused at once; audits wait a little on the
    // moments a run's commit holds the file.
    if (for_run && !hold_file(path, held_)) {
        error =
            errno == EWOULDBLOCK
                ? escaped_name(file_) + ": in use by another run of qortool"
                : escaped_name(file_) + ": cannot open the state database: " + std::strerror(errno);
        return false;
    }
    sqlite3_busy_timeout(db_, 10000);
    if (sqlite3_create_function(db_, "qor_place", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                place_function, nullptr, nullptr) != SQLITE_OK) {
        error = failure("cannot use the state database");
        return false;
    }
    return prepare_schema(for_run, error);
}

// Makes a new database, upgrades an older one, and refuses what is not
// this version's layout.
bool StateDb::prepare_schema(bool for_run, std::string &error) {
    if (!run_sql(for_run ? "BEGIN IMMEDIATE" : "BEGIN", error))
        return false;
    std::int64_t id = 0, version = 0, objects = 0;
    std::string tables[2];
    sqlite3_stmt *s = nullptr;
    const char *query = "SELECT (SELECT application_id FROM pragma_application_id),"
                        " (SELECT user_version FROM pragma_user_version),"
                        " (SELECT count(*) FROM sqlite_master),"
                        " (SELECT group_concat(name) FROM pragma_table_info('run')),"
                        " (SELECT group_concat(name) FROM pragma_table_info('judgement'))";
    int rc = sqlite3_prepare_v2(db_, query, -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        id = column_int(s, 0), version = column_int(s, 1), objects = column_int(s, 2);
        tables[0] = column_bytes(s, 3), tables[1] = column_bytes(s, 4);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW) {
        error = failure("cannot read the state database");
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    std::string change;
    if (id == 0 && objects == 0 && for_run)
        change = "PRAGMA application_id = " + std::to_string(application_id) +
                 "; PRAGMA user_version = 1;" + schema_1 + upgrade_to_2;
    else if (id != application_id)
        error = escaped_name(file_) + ": not a qortool state database";
    else if (version > schema_version)
        error = escaped_name(file_) + ": a state database of version " + std::to_string(version) +
                ", which this qortool (version " + std::to_string(schema_version) +
                ") does not know";
    else if (version == 1)
        change = upgrade_to_2;
    else if (version != schema_version || tables[0] != run_columns ||
             tables[1] != judgement_columns)
        error = escaped_name(file_) +
                ": damaged: its tables are not those of a state database "
                "of version " +
                std::to_string(version);
    if (!error.empty()) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    if (!run_sql((change + "COMMIT").c_str(), error)) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    // Readers go on while a run commits (write-ahead logging); a run is
    // kept alone by its hold on the file, not by the library's locks.
    if (!run_sql("PRAGMA journal_mode = WAL", error))
        return false;
    return for_run || run_sql("PRAGMA query_only = 1", error);
}

bool StateDb::open_for_run(const std::string &file, std::string &error) {
    return open(file, true, error);
}

bool StateDb::open_for_reading(const std::string &file, std::string &error) {
    return open(file, false, error);
}

bool StateDb::start_run(const std::string &arguments, const std::string &settings,
                        const RunScope &scope, bool resume, std::string &error) {
    settings_ = settings;
    if (resume) {
        std::vector<RunRow> all = runs(error);
        if (!error.empty())
            return false;
        if (all.empty() || all.back().finished) {
            error =
                escaped_name(file_) + ": no unfinished run to resume" +
                (all.empty() ? ""
                             : ": the latest run, " + std::to_string(all.back().id) + ", finished");
            return false;
        }
        const RunRow &last = all.back();
        run_ = last.id;
        if (last.settings != settings)
            error = escaped_name(file_) + ": run " + std::to_string(run_) +
                    " was made under other keys or --strict; it cannot be resumed so";
        else if (!(last.scope == scope))
            error = escaped_name(file_) + ": run " + std::to_string(run_) + " looked at " +
                    escaped_name(last.arguments) +
                    "; --resume goes on with the same PATHs, list, excludes and -r, from the "
                    "same folder";
        if (!error.empty())
            return false;
    } else {
        sqlite3_stmt *s = nullptr;
        int rc = sqlite3_prepare_v2(db_,
                                    "INSERT INTO run (started, arguments, settings, folder, "
                                    "operands, excludes, list, recursive)"
                                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                                    -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            bind_int(s, 1, static_cast<std::int64_t>(std::time(nullptr)));
            bind_bytes(s, 2, arguments);
            bind_bytes(s, 3, settings);
            bind_bytes(s, 4, scope.folder);
            bind_bytes(s, 5, joined_texts(scope.operands));
            bind_bytes(s, 6, joined_texts(scope.excludes));
            bind_bytes(s, 7, scope.list);
            bind_int(s, 8, scope.recursive);
            rc = sqlite3_step(s);
        }
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) {
            error = failure("cannot write the state database");
            return false;
        }
        run_ = sqlite3_last_insert_rowid(db_);
    }
    const std::string insert = std::string("INSERT OR REPLACE INTO judgement (run, ") + columns +
                               ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                               "?, ?, ?, ?)";
    const std::string in_run =
        std::string("SELECT ") + columns + " FROM judgement WHERE run = ? AND place = ?";
    const std::string last = std::string("SELECT ") + columns +
                             ", (SELECT settings FROM run WHERE id = run) FROM judgement"
                             " WHERE place = ? AND run <> ? ORDER BY run DESC LIMIT 1";
    if (sqlite3_prepare_v2(db_, insert.c_str(), -1, &insert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, in_run.c_str(), -1, &in_run_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, last.c_str(), -1, &last_, nullptr) != SQLITE_OK) {
        error = failure("cannot use the state database");
        return false;
    }
    last_commit_ = std::chrono::steady_clock::now();
    return run_sql("BEGIN", error);
}

// One lookup, its statement bound, under the lock; with `under_settings`,
// only a judgement made under this run's settings counts.
std::optional<Judgement> StateDb::look_up(sqlite3_stmt *s, bool under_settings) {
    std::optional<Judgement> found;
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW && (!under_settings || column_bytes(s, column_count) == settings_))
        found = judgement_of_row(s);
    else if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        fail("cannot read the state database");
    sqlite3_reset(s);
    return found;
}

std::optional<Judgement> StateDb::in_this_run(const std::string &place) {
    std::lock_guard<std::mutex> lock(mutex_);
    bind_int(in_run_, 1, run_);
    bind_bytes(in_run_, 2, place);
    return look_up(in_run_, false);
}

std::optional<Judgement> StateDb::last_judgement(const std::string &place) {
    std::lock_guard<std::mutex> lock(mutex_);
    bind_bytes(last_, 1, place);
    bind_int(last_, 2, run_);
    return look_up(last_, true);
}

bool StateDb::record(const Judgement &j) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string status;
    if (j.status != usual_status(j.stage, j.passed))
        for (const std::string &line : j.status)
            status += line + "\n";
    sqlite3_stmt *s = insert_;
    bind_int(s, 1, run_);
    bind_bytes(s, 2, j.name);
    bind_bytes(s, 3, j.relative);
    bind_int(s, 4, j.checked);
    bind_int(s, 5, j.genuine);
    bind_int(s, 6, j.passed);
    bind_int(s, 7, j.stage);
    bind_bytes(s, 8, status);
    bind_bytes(s, 9, j.reason);
    bind_bytes(s, 10, j.missing);
    bind_bytes(s, 11, j.key);
    bind_int(s, 12, static_cast<std::int64_t>(j.size));
    bind_int(s, 13, static_cast<std::int64_t>(j.covered));
    bind_int(s, 14, static_cast<std::int64_t>(j.uncovered));
    for (int i = 15; i <= 19; ++i)
        sqlite3_bind_null(s, i);
    if (j.identity.known) {
        bind_int(s, 15, static_cast<std::int64_t>(j.identity.size));
        bind_int(s, 16, j.identity.modified_ns);
        bind_int(s, 17, j.identity.changed_ns);
        bind_int(s, 18, static_cast<std::int64_t>(j.identity.device));
        bind_int(s, 19, static_cast<std::int64_t>(j.identity.inode));
    }
    bind_int(s, 20, j.judged);
    bind_int(s, 21, j.was_read);
    bind_bytes(s, 22, j.place);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
        fail("cannot write the state database");
        return false;
    }
    ++pending_;
    if (after_each_record)
        after_each_record(++recorded_);
    return true;
}

bool StateDb::commit_due() const {
    return pending_ >= 1000 ||
           std::chrono::steady_clock::now() - last_commit_ >= std::chrono::seconds(1);
}

bool StateDb::commit() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string error;
    const bool ok = run_sql("COMMIT; BEGIN", error);
    if (!ok && error_.empty())
        error_ = error;
    pending_ = 0;
    // Counted from when the commit returned: a slow disk makes batches
    // larger, not commits more frequent.
    last_commit_ = std::chrono::steady_clock::now();
    return ok;
}

bool StateDb::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string sql = "UPDATE run SET finished = 1, ended = " +
                            std::to_string(static_cast<std::int64_t>(std::time(nullptr))) +
                            " WHERE id = " + std::to_string(run_) + "; COMMIT";
    std::string error;
    if (!run_sql(sql.c_str(), error)) {
        if (error_.empty())
            error_ = error;
        return false;
    }
    run_ = 0;
    return true;
}

std::uint64_t StateDb::releases_last_time() {
    sqlite3_stmt *s = nullptr;
    std::uint64_t n = 0;
    if (sqlite3_prepare_v2(db_,
                           "SELECT count(*) FROM judgement WHERE run ="
                           " (SELECT max(id) FROM run WHERE finished)",
                           -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        n = static_cast<std::uint64_t>(column_int(s, 0));
    else
        fail("cannot read the state database");
    sqlite3_finalize(s);
    return n;
}

std::vector<RunRow> StateDb::runs(std::string &error) {
    std::vector<RunRow> rows;
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, started, ended, finished, arguments, settings,"
                           " (SELECT count(*) FROM judgement WHERE run = id),"
                           " folder, operands, excludes, list, recursive FROM run ORDER BY id",
                           -1, &s, nullptr) != SQLITE_OK) {
        error = failure("cannot read the state database");
        return rows;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        RunRow row = {column_int(s, 0),
                      column_int(s, 1),
                      column_int(s, 2),
                      column_int(s, 3) != 0,
                      column_bytes(s, 4),
                      column_bytes(s, 5),
                      static_cast<std::uint64_t>(column_int(s, 6)),
                      {}};
        row.scope.known = sqlite3_column_type(s, 7) != SQLITE_NULL;
        row.scope.folder = column_bytes(s, 7);
        row.scope.operands = split_texts(column_bytes(s, 8));
        row.scope.excludes = split_texts(column_bytes(s, 9));
        row.scope.list = column_bytes(s, 10);
        row.scope.recursive = column_int(s, 11) != 0;
        rows.push_back(row);
    }
    if (rc != SQLITE_DONE)
        error = failure("cannot read the state database");
    sqlite3_finalize(s);
    return rows;
}

bool StateDb::run_under_way() { return file_is_held(path_from_argument(file_)); }

std::vector<StateDb::VerdictCounts> StateDb::verdict_counts(std::string &error) {
    std::vector<VerdictCounts> counts;
    sqlite3_stmt *s = nullptr;
    int rc = sqlite3_prepare_v2(db_,
                                "SELECT id, (SELECT count(*) FROM judgement WHERE run = id AND"
                                " checked AND genuine), (SELECT count(*) FROM judgement WHERE"
                                " run = id AND checked AND NOT genuine), (SELECT count(*) FROM"
                                " judgement WHERE run = id AND NOT checked) FROM run ORDER BY id",
                                -1, &s, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW)
        counts.push_back({column_int(s, 0), static_cast<std::uint64_t>(column_int(s, 1)),
                          static_cast<std::uint64_t>(column_int(s, 2)),
                          static_cast<std::uint64_t>(column_int(s, 3))}),
            rc = SQLITE_OK;
    if (rc != SQLITE_DONE)
        error = failure("cannot read the state database");
    sqlite3_finalize(s);
    return counts;
}

RunCursor::RunCursor(StateDb &state, std::int64_t run, bool by_spelling, bool unchecked_only)
    : state_(state) {
    const std::string place = by_spelling ? "qor_place('', path)" : "place";
    const std::string sql = std::string("SELECT ") + columns + ", " + place +
                            " AS key FROM judgement WHERE run = ?" +
                            (unchecked_only ? " AND NOT checked" : "") + " ORDER BY key";
    if (sqlite3_prepare_v2(state.db_, sql.c_str(), -1, &statement_, nullptr) == SQLITE_OK)
        bind_int(statement_, 1, run);
    else
        error_ = state.failure("cannot read the state database");
}

RunCursor::~RunCursor() { sqlite3_finalize(statement_); }

bool RunCursor::next(Judgement &j) {
    if (!statement_)
        return false;
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) {
        j = judgement_of_row(statement_);
        j.place = column_bytes(statement_, column_count);
        return true;
    }
    if (rc != SQLITE_DONE && error_.empty())
        error_ = state_.failure("cannot read the state database");
    return false;
}

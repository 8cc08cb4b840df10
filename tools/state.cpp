#include "state.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sqlite3.h>

#include "files.h"
#include "names.h"
#include "verify.h"

namespace {

// "QORS" in the header's application id; the schema's version in its user
// version.
constexpr int application_id = 0x514F5253;
constexpr int schema_version = 1;

constexpr const char schema[] =
    "CREATE TABLE run ("
    " id INTEGER PRIMARY KEY,"
    " started INTEGER NOT NULL," // seconds since 1970, UTC
    " ended INTEGER,"            // null while unfinished
    " finished INTEGER NOT NULL DEFAULT 0,"
    " arguments TEXT NOT NULL,"
    " settings TEXT NOT NULL);" // the key ids and --strict, which a verdict depends on
    "CREATE TABLE judgement ("
    " run INTEGER NOT NULL REFERENCES run(id),"
    " path BLOB NOT NULL,"     // the name as printed, its exact bytes
    " relative BLOB NOT NULL," // below its operand, or as listed
    " checked INTEGER NOT NULL,"
    " genuine INTEGER NOT NULL,"
    " passed INTEGER NOT NULL,"
    " stage INTEGER NOT NULL,"
    " status BLOB NOT NULL," // the status lines, each ending in a line feed; empty when usual
    " reason BLOB NOT NULL,"
    " missing BLOB NOT NULL,"
    " key TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " covered INTEGER NOT NULL,"
    " uncovered INTEGER NOT NULL,"
    " file_size INTEGER," // null where the file could not be described
    " modified_ns INTEGER,"
    " changed_ns INTEGER,"
    " device INTEGER,"
    " inode INTEGER,"
    " judged INTEGER NOT NULL," // when the file was read, seconds since 1970
    " was_read INTEGER NOT NULL,"
    " PRIMARY KEY (run, path)) WITHOUT ROWID;"
    "CREATE INDEX judgement_by_path ON judgement (path, run);";

constexpr const char columns[] =
    "path, relative, checked, genuine, passed, stage, status, reason, missing, key, size, "
    "covered, uncovered, file_size, modified_ns, changed_ns, device, inode, judged, was_read";

std::string column_bytes(sqlite3_stmt *s, int i) {
    const void *p = sqlite3_column_blob(s, i);
    return p ? std::string(static_cast<const char *>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
             : std::string();
}

std::int64_t column_int(sqlite3_stmt *s, int i) { return sqlite3_column_int64(s, i); }

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
    j.stamp.known = sqlite3_column_type(s, 13) != SQLITE_NULL;
    j.stamp.size = static_cast<std::uint64_t>(column_int(s, 13));
    j.stamp.modified_ns = column_int(s, 14);
    j.stamp.changed_ns = column_int(s, 15);
    j.stamp.device = static_cast<std::uint64_t>(column_int(s, 16));
    j.stamp.inode = static_cast<std::uint64_t>(column_int(s, 17));
    j.judged = column_int(s, 18);
    j.read = column_int(s, 19) != 0;
    return j;
}

void bind_bytes(sqlite3_stmt *s, int i, const std::string &bytes) {
    sqlite3_bind_blob(s, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void bind_int(sqlite3_stmt *s, int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }

} // namespace

bool same_file_state(const FileStamp &a, const FileStamp &b) {
    return a.known && b.known && a.size == b.size && a.modified_ns == b.modified_ns &&
           a.changed_ns == b.changed_ns && a.device == b.device && a.inode == b.inode;
}

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
    if (!db_)
        return;
    // A run that ends early keeps what it judged: the next --resume goes on
    // from there.
    if (run_ && sqlite3_get_autocommit(db_) == 0)
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    for (sqlite3_stmt *s : {insert_, in_run_, last_})
        sqlite3_finalize(s);
    sqlite3_close(db_);
}

std::string StateDb::failure(const std::string &what) {
    std::string text = escaped_name(file_) + ": " + what;
    if (!db_)
        return text;
    const int code = sqlite3_errcode(db_);
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
        return escaped_name(file_) + ": in use by another run of qortool";
    if (code == SQLITE_NOTADB)
        return escaped_name(file_) + ": not a qortool state database";
    const int system = sqlite3_system_errno(db_);
    return text + ": " + (system ? std::strerror(system) : sqlite3_errmsg(db_));
}

bool StateDb::run_sql(const char *sql, std::string &error) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = failure("cannot use the state database");
    return false;
}

bool StateDb::open(const std::string &file, bool for_run, std::string &error) {
    file_ = file;
    // Read and write also to read: a run that was killed left a journal,
    // which the next connection rolls back. Reading only, it may not.
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
    // A run holds the file from its first write until it closes it, so a
    // second run is refused at once instead of interleaving with it.
    if (!run_sql(for_run ? "PRAGMA locking_mode = EXCLUSIVE; BEGIN IMMEDIATE"
                         : "PRAGMA query_only = 1; BEGIN",
                 error))
        return false;
    std::int64_t id = 0, version = 0, objects = 0;
    sqlite3_stmt *s = nullptr;
    const char *query = "SELECT (SELECT application_id FROM pragma_application_id),"
                        " (SELECT user_version FROM pragma_user_version),"
                        " (SELECT count(*) FROM sqlite_master)";
    int rc = sqlite3_prepare_v2(db_, query, -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW)
        id = column_int(s, 0), version = column_int(s, 1), objects = column_int(s, 2);
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW) {
        error = failure("cannot read the state database");
        return false;
    }
    if (id == 0 && objects == 0 && for_run) {
        std::string create = "PRAGMA application_id = " + std::to_string(application_id) +
                             "; PRAGMA user_version = " + std::to_string(schema_version) + ";" +
                             schema + "COMMIT";
        return run_sql(create.c_str(), error);
    }
    if (id != application_id) {
        error = escaped_name(file_) + ": not a qortool state database";
        return false;
    }
    if (version != schema_version) {
        error = escaped_name(file_) + ": a state database of version " + std::to_string(version) +
                ", which this qortool (version " + std::to_string(schema_version) +
                ") does not know";
        return false;
    }
    return run_sql("COMMIT", error);
}

bool StateDb::open_for_run(const std::string &file, std::string &error) {
    return open(file, true, error);
}

bool StateDb::open_for_reading(const std::string &file, std::string &error) {
    return open(file, false, error);
}

bool StateDb::start_run(const std::string &arguments, const std::string &settings, bool resume,
                        std::string &error) {
    settings_ = settings;
    sqlite3_stmt *s = nullptr;
    if (resume) {
        sqlite3_prepare_v2(db_, "SELECT id, settings FROM run WHERE NOT finished ORDER BY id DESC",
                           -1, &s, nullptr);
        if (sqlite3_step(s) == SQLITE_ROW) {
            run_ = column_int(s, 0);
            if (column_bytes(s, 1) != settings)
                error = escaped_name(file_) + ": run " + std::to_string(run_) +
                        " was made under other keys or --strict; it cannot be resumed so";
        } else {
            error = escaped_name(file_) + ": no unfinished run to resume";
        }
        sqlite3_finalize(s);
        if (!error.empty())
            return false;
    } else {
        sqlite3_prepare_v2(db_, "INSERT INTO run (started, arguments, settings) VALUES (?, ?, ?)",
                           -1, &s, nullptr);
        bind_int(s, 1, static_cast<std::int64_t>(std::time(nullptr)));
        bind_bytes(s, 2, arguments);
        bind_bytes(s, 3, settings);
        const int rc = sqlite3_step(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) {
            error = failure("cannot write the state database");
            return false;
        }
        run_ = sqlite3_last_insert_rowid(db_);
    }
    const std::string insert = std::string("INSERT OR REPLACE INTO judgement (run, ") + columns +
                               ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                               "?, ?, ?)";
    const std::string in_run =
        std::string("SELECT ") + columns + " FROM judgement WHERE run = ? AND path = ?";
    const std::string last = std::string("SELECT ") + columns +
                             ", (SELECT settings FROM run WHERE id = run) FROM judgement"
                             " WHERE path = ? AND run <> ? ORDER BY run DESC LIMIT 1";
    if (sqlite3_prepare_v2(db_, insert.c_str(), -1, &insert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, in_run.c_str(), -1, &in_run_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, last.c_str(), -1, &last_, nullptr) != SQLITE_OK) {
        error = failure("cannot use the state database");
        return false;
    }
    batch_start_ = std::chrono::steady_clock::now();
    return run_sql("BEGIN", error);
}

std::optional<Judgement> StateDb::in_this_run(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    bind_int(in_run_, 1, run_);
    bind_bytes(in_run_, 2, path);
    std::optional<Judgement> found;
    if (sqlite3_step(in_run_) == SQLITE_ROW)
        found = judgement_of_row(in_run_);
    sqlite3_reset(in_run_);
    return found;
}

std::optional<Judgement> StateDb::last_judgement(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    bind_bytes(last_, 1, path);
    bind_int(last_, 2, run_);
    std::optional<Judgement> found;
    if (sqlite3_step(last_) == SQLITE_ROW && column_bytes(last_, 20) == settings_)
        found = judgement_of_row(last_);
    sqlite3_reset(last_);
    return found;
}

bool StateDb::commit(std::string &error) {
    pending_ = 0;
    batch_start_ = std::chrono::steady_clock::now();
    return run_sql("COMMIT; BEGIN", error);
}

bool StateDb::record(const Judgement &j, std::string &error) {
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
    if (j.stamp.known) {
        bind_int(s, 15, static_cast<std::int64_t>(j.stamp.size));
        bind_int(s, 16, j.stamp.modified_ns);
        bind_int(s, 17, j.stamp.changed_ns);
        bind_int(s, 18, static_cast<std::int64_t>(j.stamp.device));
        bind_int(s, 19, static_cast<std::int64_t>(j.stamp.inode));
    }
    bind_int(s, 20, j.judged);
    bind_int(s, 21, j.read);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
        error = failure("cannot write the state database");
        return false;
    }
    // For the tests: a run killed at this record, committed in pairs so
    // that the kill falls between commits where the test says.
    static const char *kill_after = std::getenv("QOR_TEST_KILL_AFTER");
    static std::uint64_t recorded = 0;
    if (kill_after && ++recorded == std::strtoull(kill_after, nullptr, 10))
        end_at_once();
    const std::uint64_t batch = kill_after ? 2 : 1000;
    const bool due = ++pending_ >= batch ||
                     std::chrono::steady_clock::now() - batch_start_ >= std::chrono::seconds(1);
    return !due || commit(error);
}

bool StateDb::finish(std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string sql = "UPDATE run SET finished = 1, ended = " +
                            std::to_string(static_cast<std::int64_t>(std::time(nullptr))) +
                            " WHERE id = " + std::to_string(run_) + "; COMMIT";
    if (!run_sql(sql.c_str(), error))
        return false;
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
    sqlite3_finalize(s);
    return n;
}

std::vector<RunRow> StateDb::runs(std::string &error) {
    std::vector<RunRow> rows;
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, started, ended, finished, arguments, settings,"
                           " (SELECT count(*) FROM judgement WHERE run = id) FROM run ORDER BY id",
                           -1, &s, nullptr) != SQLITE_OK) {
        error = failure("cannot read the state database");
        return rows;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        rows.push_back({column_int(s, 0), column_int(s, 1), column_int(s, 2), column_int(s, 3) != 0,
                        column_bytes(s, 4), column_bytes(s, 5),
                        static_cast<std::uint64_t>(column_int(s, 6))});
    if (rc != SQLITE_DONE)
        error = failure("cannot read the state database");
    sqlite3_finalize(s);
    return rows;
}

RunCursor::RunCursor(StateDb &state, std::int64_t run) {
    const std::string sql =
        std::string("SELECT ") + columns + " FROM judgement WHERE run = ? ORDER BY path";
    if (sqlite3_prepare_v2(state.db_, sql.c_str(), -1, &statement_, nullptr) == SQLITE_OK)
        bind_int(statement_, 1, run);
}

RunCursor::~RunCursor() { sqlite3_finalize(statement_); }

bool RunCursor::next(Judgement &j) {
    if (!statement_ || sqlite3_step(statement_) != SQLITE_ROW)
        return false;
    j = judgement_of_row(statement_);
    return true;
}

// qortool verify: checks releases as the certificator does, one or a whole
// archive, on several workers, and reports them in the order given.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "commands.h"
#include "files.h"
#include "judgement.h"
#include "key_file.h"
#include "names.h"
#include "options.h"
#include "state.h"
#include "verify.h"
#include "walk.h"

namespace fs = std::filesystem;

const char verify_help[] =
    "usage: qortool verify [-q | --brief | --json] [--strict] [-r] [-j N] [--read-ahead N]\n"
    "                      [--files-from FILE [-0]] [--key FILE]... [--exclude PATTERN]...\n"
    "                      [--state FILE [--incremental [--recheck-after DAYS]] [--resume]]\n"
    "                      [--] [PATH...]\n"
    "Checks each release as the certificator does. A PATH is a release folder\n"
    "(its qor.nfo, in any letter case, is checked) or an information file; the\n"
    "default is the current folder. Prints each release's status lines and\n"
    "verdict, headed by its path when there are several.\n"
    "  -q, --quiet        print nothing; only the exit status tells\n"
    "  --brief            one line per release: PATH: genuine, or PATH: NOT\n"
    "                     genuine (the failed status line and its reason)\n"
    "  --json             one JSON object per line per release\n"
    "  --strict           a release whose code leaves bytes of its content\n"
    "                     uncovered is NOT genuine\n"
    "  -r, --recursive    every folder under each PATH that holds an\n"
    "                     information file is a release (links not followed)\n"
    "  --files-from FILE  read more PATHs from FILE ('-': standard input), one\n"
    "                     per line\n"
    "  -0, --null         the PATHs in FILE end in NUL bytes, not line ends\n"
    "  -j, --jobs N       check N releases at a time (default: one per\n"
    "                     processor); the output keeps the order\n"
    "  --read-ahead N     with -r, ask the disk for the next N releases' files\n"
    "                     while the workers check (default: 0, none; Linux\n"
    "                     only)\n"
    "  --key FILE         check under the key in FILE instead of this\n"
    "                     qortool's; given more than once, say which key a\n"
    "                     release fits\n"
    "  --exclude PATTERN  pass over the releases and folders whose path below\n"
    "                     its PATH (or as listed in FILE) matches PATTERN: * and\n"
    "                     ? match within one name, [...] one of a set\n"
    "  --state FILE       record every release judged, and the run, in the\n"
    "                     state database FILE (made when missing); see audit\n"
    "  --incremental      a release whose information file is unchanged since\n"
    "                     its last recorded judgement (size, times and file\n"
    "                     identity) is not read again: its verdict is reported\n"
    "                     with the date it was read\n"
    "  --recheck-after DAYS  read again what was read longer ago than DAYS\n"
    "  --resume           go on with the last run of FILE that was cut off:\n"
    "                     what it judged is counted, not read or printed again\n"
    "Names that could mislead are printed escaped, starting with a backslash.\n"
    "Exit status: 0 every release genuine, 1 any not genuine or a path that\n"
    "could not be checked, 2 usage error or an error of the tool (output that\n"
    "cannot be written, a list that cannot be read).\n";

namespace {

// How many releases' files a walk asks of the disk ahead of the workers by
// default: none, as on the virtual disk it was measured on it gained
// nothing the noise did not hide (see the README).
constexpr unsigned default_read_ahead = 0;

enum class Format { blocks, brief, json, quiet };

// A key to check under, and how messages name it.
struct NamedKey {
    KeyMaterial key;
    std::string id;
};

struct Settings {
    Format format = Format::blocks;
    bool strict = false;
    bool recursive = false;
    bool null_separated = false;
    std::string files_from;
    unsigned jobs = 0;
    unsigned read_ahead = default_read_ahead; // releases asked of the disk ahead; 0: none
    std::vector<NamedKey> keys;               // several: say which one a release fits
    std::vector<std::string> excludes;
    StateDb *state = nullptr; // with --state
    RunScope scope;           // what the run looks at, where it records places
    bool incremental = false, resume = false;
    std::int64_t recheck_after = -1; // seconds; negative: never
};

// What a recorded verdict depends on besides the file: the keys and
// --strict.
std::string verdict_settings(const Settings &settings) {
    std::string text;
    for (const NamedKey &key : settings.keys)
        text += key.id + " ";
    return text + (settings.strict ? "strict" : "lenient");
}

// ---- Finding releases ----

// One entry of the run: a release to check, or a path that could not be
// checked at all and says why.
struct Release {
    std::string name;        // as given or found: what the output shows
    std::string relative;    // below its operand, or as given: what --exclude meets
    std::string not_checked; // why it could not be checked; empty for a release
    fs::path path;           // a path given as text; empty for one the walk found
    Folder folder;           // the release folder, opened; null for a file
    std::vector<std::string> information_files; // in the folder, in any letter case, sorted
    std::shared_ptr<FileAhead> ahead;           // its one information file, when read ahead
};

Release unchecked(const std::string &name, const std::string &why) {
    Release release;
    release.name = release.relative = name;
    release.not_checked = why;
    return release;
}

std::string joined(const std::string &folder, const std::string &entry) {
    bool ends_in_separator =
        !folder.empty() && (folder.back() == '/' || folder.back() == folder_separator);
    return ends_in_separator ? folder + entry : folder + folder_separator + entry;
}

// A list line longer than this names no file the platform can open.
#ifdef _WIN32
constexpr std::size_t longest_list_line = 32767 * 3; // wide characters, as UTF-8
#else
constexpr std::size_t longest_list_line = 4096;
#endif

// The entries to check, one at a time, in a stable order: the operands, then
// the paths read from --files-from; with -r, the release folders under each
// folder instead, found depth first in sorted order. With read-ahead, a walk
// runs up to that many releases ahead of the workers and asks the disk for
// their files, so that a cold disk has several requests in flight while the
// workers scan; only a walk runs ahead (a list may be slow to come), and
// memory stays the same whatever the archive's size. Whatever cannot be
// checked comes as an entry that says why, never as nothing.
class Releases {
  public:
    Releases(const Settings &settings, std::vector<std::string> operands, std::size_t reach = 0)
        : settings_(settings), operands_(std::move(operands)), reach_(reach) {}

    bool open(std::string &error) {
        if (settings_.files_from.empty())
            return true;
        if (settings_.files_from == "-") {
            set_binary_mode(stdin);
            list_ = stdin;
            return true;
        }
        fs::path path = reachable_path(settings_.files_from);
        list_ = open_file(path, "rb");
        int why = errno;
        std::error_code ec;
        // Linux opens a folder and fails at the first read; Windows refuses
        // it as "Permission denied". Either way, say what it is.
        if (fs::is_directory(path, ec)) {
            why = EISDIR;
            if (list_)
                std::fclose(list_);
            list_ = nullptr;
        }
        if (list_)
            return true;
        error = escaped_name(settings_.files_from) + ": cannot open: " + std::strerror(why);
        return false;
    }

    ~Releases() {
        if (list_ && list_ != stdin)
            std::fclose(list_);
    }

    // The next entry, or false when there are no more.
    bool next(Release &release) {
        // Kept full, a release at a time: a worker waiting for the next
        // release never waits for a batch of opens.
        if (ahead_.size() < reach_)
            run_ahead();
        if (ahead_.empty())
            return next_entry(release, false);
        release = std::move(ahead_.front());
        ahead_.pop_front();
        return true;
    }

    // Why the list could not be read to its end; empty when it was.
    const std::string &list_error() const { return list_error_; }

    const std::string &first_operand() const { return operands_.front(); }

  private:
    struct Level {
        Folder folder;
        std::string name, relative;
        std::vector<std::string> subfolders;
        std::size_t next;
    };

    // Walks on to the reach, asking the disk for each release's file.
    void run_ahead() {
        while (ahead_.size() < reach_ && !walk_.empty()) {
            Release release;
            if (!next_entry(release, true))
                break;
            if (release.folder && release.information_files.size() == 1) {
                release.ahead = std::make_shared<FileAhead>();
                request_file_in(release.folder, release.information_files.front(), *release.ahead);
            }
            ahead_.push_back(std::move(release));
        }
    }

    // The next entry, or false when there are no more; with `in_walk`,
    // false too where the walk under an operand ends.
    bool next_entry(Release &release, bool in_walk) {
        for (;;) {
            if (!walk_.empty()) {
                if (next_in_walk(release)) {
                    ++found_;
                    return true;
                }
                continue;
            }
            if (walking_) {
                walking_ = false;
                if (found_ == 0) {
                    release = unchecked(walked_operand_, "no release found");
                    return true;
                }
            }
            if (in_walk)
                return false;
            std::string given;
            if (next_operand_ < operands_.size()) {
                given = operands_[next_operand_++];
            } else {
                std::string why;
                if (!read_listed(given, why))
                    return false;
                if (!why.empty()) {
                    release = unchecked(given, why);
                    return true;
                }
                if (path_matches_any(settings_.excludes, given))
                    continue;
            }
            if (given_entry(given, release))
                return true;
        }
    }

    bool given_entry(const std::string &given, Release &release) {
        int error = 0;
        Folder folder = open_operand_folder(given, error);
        if (folder && settings_.recursive) {
            walking_ = true;
            found_ = 0;
            walked_operand_ = given;
            if (!visit(folder, given, "", release))
                return false;
            ++found_;
            return true;
        }
        // An operand of -r that is missing is an outage (a share not
        // mounted), never a release that fails.
        if (!folder && settings_.recursive && error != ENOTDIR) {
            release = unchecked(given, "cannot open folder: " + walk_error_text(error));
            return true;
        }
        // A folder that cannot be listed still has its qor.nfo opened by
        // that name: the presence stage then says what is wrong.
        release = {given, given, "", reachable_path(given), folder, {}, {}};
        std::vector<FolderEntry> entries;
        if (folder && list_folder(folder, entries) == 0)
            release.information_files = information_files(entries);
        return true;
    }

    static std::vector<std::string> information_files(const std::vector<FolderEntry> &entries) {
        std::vector<std::string> files;
        for (const FolderEntry &entry : entries)
            if (is_information_file_name(entry.name))
                files.push_back(entry.name);
        std::sort(files.begin(), files.end());
        return files;
    }

    // Lists a folder of the walk: its subfolders go on the walk, and it is a
    // release when it holds an information file.
    bool visit(const Folder &folder, const std::string &name, const std::string &relative,
               Release &release) {
        std::vector<FolderEntry> entries;
        if (int error = list_folder(folder, entries)) {
            release = unchecked(name, "cannot read folder: " + walk_error_text(error));
            release.relative = relative;
            return true;
        }
        std::vector<std::string> subfolders;
        for (const FolderEntry &entry : entries)
            if (entry.folder && !is_information_file_name(entry.name))
                subfolders.push_back(entry.name);
        std::sort(subfolders.begin(), subfolders.end());
        if (!subfolders.empty())
            walk_.push_back({folder, name, relative, std::move(subfolders), 0});
        std::vector<std::string> files = information_files(entries);
        if (files.empty())
            return false;
        release = {name, relative, "", {}, folder, std::move(files), {}};
        return true;
    }

    bool next_in_walk(Release &release) {
        Level &level = walk_.back();
        if (level.next == level.subfolders.size()) {
            walk_.pop_back();
            return false;
        }
        const std::string &entry = level.subfolders[level.next++];
        std::string name = joined(level.name, entry);
        std::string relative = level.relative.empty() ? entry : level.relative + "/" + entry;
        if (path_matches_any(settings_.excludes, relative))
            return false;
        int error = 0;
        Folder folder = open_subfolder(level.folder, entry, error);
        if (!folder) {
            release = unchecked(name, "cannot open folder: " + walk_error_text(error));
            release.relative = relative;
            return true;
        }
        return visit(folder, name, relative, release);
    }

    // The next path of the list in `path`; `why` is set when the line
    // cannot name a path. False at the end of the list, or when it cannot
    // be read further (list_error says why).
    bool read_listed(std::string &path, std::string &why) {
        if (!list_)
            return false;
        const int end = settings_.null_separated ? '\0' : '\n';
        for (;;) {
            path.clear();
            ++line_;
            bool too_long = false, holds_nul = false;
            int c;
            while ((c = std::getc(list_)) != EOF && c != end) {
                holds_nul = holds_nul || c == '\0';
                if (path.size() < longest_list_line)
                    path += static_cast<char>(c);
                else
                    too_long = true;
            }
            if (c == EOF && std::ferror(list_)) {
                list_error_ = escaped_name(list_name()) + ": cannot read: " + std::strerror(errno);
                return false;
            }
            // A list made on Windows ends its lines in CR LF.
            if (!settings_.null_separated && !path.empty() && path.back() == '\r' && !too_long)
                path.pop_back();
            if (too_long || holds_nul) {
                why = too_long ? "longer than " + std::to_string(longest_list_line) + " bytes"
                               : "holds a NUL byte";
                why = "line " + std::to_string(line_) + " of the list " + why;
                ++listed_;
                return true;
            }
            if (!path.empty()) {
                ++listed_;
                return true;
            }
            if (c == EOF) {
                if (listed_ == 0) {
                    listed_ = 1; // said once
                    path = list_name();
                    why = "the list names no path";
                    return true;
                }
                return false;
            }
        }
    }

    std::string list_name() const {
        return settings_.files_from == "-" ? "standard input" : settings_.files_from;
    }

    const Settings &settings_;
    std::vector<std::string> operands_;
    std::size_t next_operand_ = 0;
    std::FILE *list_ = nullptr;
    std::uint64_t line_ = 0, listed_ = 0;
    std::string list_error_;
    std::vector<Level> walk_;
    bool walking_ = false;
    std::uint64_t found_ = 0;
    std::string walked_operand_;
    std::size_t reach_;
    std::deque<Release> ahead_;
};

// ---- Judging one release ----

void record_text(void *dialog, int control_id, const char *text) {
    (*static_cast<std::map<int, std::string> *>(dialog))[control_id] = text;
}

// How a run opens the release's information file, and, for a state
// database, what it knows of the file it read: described from the stream
// that is read, when it is opened and again before it is closed.
struct Source {
    const Release *release;
    std::string file;        // the information file's name in a folder
    bool describe = false;   // with a state database
    FileStamp read;          // the file as it was opened, before any read
    bool changed = false;    // another file, or changed, by the time it was closed
    bool read_whole = false; // the last open read it whole: described already
};

// The run's callbacks get the source back as they were given it.
Source &source_of(const void *context) {
    return *const_cast<Source *>(static_cast<const Source *>(context));
}

void describe_read(Source &source, const FileStamp &now) {
    if (!source.read.known && !source.changed)
        source.read = now;
    else if (!same_file_state(source.read, now))
        source.changed = true;
}

std::FILE *open_release(const void *context, const char **why) {
    Source &source = source_of(context);
    const Release &release = *source.release;
    OpenedFile described;
    std::FILE *stream =
        release.folder ? open_file_in(release.folder, source.file, why,
                                      source.describe ? &described : nullptr, release.ahead.get())
                       : open_regular_file(release.path, why);
    if (stream && source.describe) {
        describe_read(source, release.folder ? described.opened : stamp_of_stream(stream));
        source.read_whole = described.read_whole.known;
        if (source.read_whole)
            describe_read(source, described.read_whole);
    }
    return stream;
}

void closing_release(const void *context, std::FILE *stream) {
    if (Source &source = source_of(context); source.describe && !source.read_whole)
        describe_read(source, stamp_of_stream(stream));
}

// The information file a release is checked by: the one its folder holds in
// any letter case, or qor.nfo, which the presence stage then misses.
std::string information_file(const Release &release) {
    return release.information_files.empty() ? info_file_name : release.information_files[0];
}

// The release's information file as the file system describes it now, by
// its name, to compare with a recorded judgement; not known for an entry
// that cannot be checked or an ambiguous folder.
FileStamp stamp_by_name(const Release &release) {
    if (!release.not_checked.empty() || release.information_files.size() > 1)
        return {};
    return release.folder ? stamp_of_file_in(release.folder, information_file(release))
                          : stamp_of_path(release.path);
}

// Runs the check on a release once, under each key until one fits. With a
// state database, `source` describes the file that was read.
Judgement judge_once(const Release &release, const Settings &settings,
                     std::atomic<std::uint64_t> &scanned, Source &source) {
    Judgement j;
    j.name = release.name;
    j.relative = release.relative;
    j.judged = static_cast<std::int64_t>(std::time(nullptr));
    j.several_keys = settings.keys.size() > 1;
    if (!release.not_checked.empty()) {
        j.checked = false;
        j.reason = release.not_checked;
        return j;
    }
    if (release.information_files.size() > 1) {
        j.ambiguous_files = release.information_files;
        j.reason = "more than one information file, differing in letter case";
        return j;
    }
    source.release = &release;
    source.file = information_file(release);
    source.describe = settings.state != nullptr;

    // Under each key in turn, until one fits. A release that fails before
    // stage 5 fails alike under every key.
    std::map<int, std::string> shown;
    RunReport report = {};
    for (std::size_t k = 0; k < settings.keys.size(); ++k) {
        shown.clear();
        report.progress = &scanned;
        j.passed = run_verification({record_text, &shown}, {open_release, &source, closing_release},
                                    &report, settings.keys[k].key);
        if (j.passed)
            j.key = settings.keys[k].id;
        if (j.passed || report.stage < 5)
            break;
    }
    for (const StatusLine &line : status_lines)
        if (shown.count(line.control_id))
            j.status.push_back(shown[line.control_id]);
    j.stage = report.stage;
    j.size = report.size;
    j.covered = report.stage == 5 ? report.covered : 0;

    // Every byte of the content is covered unless a marker that the scan
    // recognises comes before the trailer's.
    std::uint64_t content = report.size >= trailer_length ? report.size - trailer_length : 0;
    j.uncovered = report.stage == 5 && report.covered < content ? content - report.covered : 0;
    j.genuine = j.passed && !(settings.strict && j.uncovered);
    if (report.reason) {
        j.reason = report.reason;
        j.missing = release.folder ? joined(release.name, source.file) : release.name;
    } else if (j.passed && !j.genuine) {
        j.reason = "bytes of the content are not covered by the code";
    } else if (!j.passed && report.stage == 5 && j.several_keys) {
        j.reason = "fits none of the given keys";
    }
    j.stamp = source.read;
    return j;
}

// A release's judgement. With a state database it belongs to the bytes
// judged: a file that changes, or is swapped for another, while it is read
// is read again, and reported as not checked when it never holds still.
Judgement judge(const Release &release, const Settings &settings,
                std::atomic<std::uint64_t> &scanned) {
    constexpr int attempts = 3;
    for (int attempt = 1;; ++attempt) {
        Source source;
        Judgement j = judge_once(release, settings, scanned, source);
        if (!source.changed)
            return j;
        if (attempt == attempts) {
            j.checked = false;
            j.stamp = {};
            j.reason = "its information file changed while it was read, " +
                       std::to_string(attempts) + " times";
            return j;
        }
    }
}

// A release as the state database has it, when that will do: judged
// already in the run being resumed, or, with --incremental, unchanged since
// it was last read under the same keys.
std::optional<Judgement> recorded(const Release &release, const Settings &settings,
                                  const std::string &place, const FileStamp &now) {
    // A release that changed since the run was cut off is read again.
    if (settings.resume)
        if (std::optional<Judgement> j = settings.state->in_this_run(place);
            j && same_file_state(j->stamp, now)) {
            j->resumed = true;
            return j;
        }
    if (!settings.incremental || !now.known)
        return std::nullopt;
    std::optional<Judgement> last = settings.state->last_judgement(place);
    if (!last || !last->checked)
        return std::nullopt;
    const bool due =
        settings.recheck_after >= 0 && std::time(nullptr) - last->judged >= settings.recheck_after;
    if (due || !same_file_state(last->stamp, now))
        return std::nullopt;
    last->read = false;
    last->name = release.name;
    last->relative = release.relative;
    last->place = place;
    last->several_keys = settings.keys.size() > 1;
    return last;
}

// Only a state database needs a release's place, and only where a
// recorded judgement may be taken over is the file described by name.
Judgement judge_entry(const Release &release, const Settings &settings,
                      std::atomic<std::uint64_t> &scanned) {
    if (!settings.state)
        return judge(release, settings, scanned);
    const std::string place = place_of(settings.scope.folder, release.name);
    if (settings.incremental || settings.resume)
        if (std::optional<Judgement> j = recorded(release, settings, place, stamp_by_name(release)))
            return *j;
    Judgement j = judge(release, settings, scanned);
    j.place = place;
    return j;
}

// ---- Writing a judgement ----

} // namespace

std::string verdict_text(const Judgement &j) {
    if (!j.checked)
        return "not checked (" + j.reason + ")";
    const std::string unchanged = j.read ? "" : "unchanged since " + iso_date(j.judged);
    if (j.genuine) {
        std::string about = j.several_keys ? "key " + j.key : "";
        if (!unchanged.empty())
            about.append(about.empty() ? "" : ", ").append(unchanged);
        return about.empty() ? "genuine" : "genuine (" + about + ")";
    }
    // The failed status line, unless the run passed and only --strict
    // refuses it.
    std::string why = j.passed || j.status.empty() ? "" : j.status.back();
    if (!j.reason.empty())
        why.append(why.empty() ? "" : " ").append(j.reason);
    if (!unchanged.empty())
        why.append("; ").append(unchanged);
    return "NOT genuine (" + why + ")";
}

namespace {

// What one entry prints: standard output, and notes for standard error.
struct Written {
    std::string out, err;
};

// The notes that go to standard error in every format but -q. Names are
// escaped here and in each writer, nowhere else.
std::string notes(const Judgement &j, Format format) {
    const std::string note = "qortool: " + escaped_name(j.name) + ": ";
    if (!j.checked)
        return note + j.reason + "\n";
    std::string out;
    if (!j.ambiguous_files.empty()) {
        std::string files;
        for (const std::string &f : j.ambiguous_files)
            files.append(files.empty() ? "" : ", ").append(escaped_name(f));
        out += note + "ambiguous: " + files + "\n";
    }
    if (format == Format::blocks && !j.missing.empty())
        out += "qortool: " + escaped_name(j.missing) + ": " + j.reason + "\n";
    if (format == Format::blocks && j.passed && j.several_keys)
        out += note + "fits key " + j.key + "\n";
    if (format == Format::blocks && !j.read)
        out += note + "unchanged since " + iso_date(j.judged) + ", not read again\n";
    if (j.passed && j.uncovered)
        out += note + "a marker at offset " + std::to_string(j.covered) + " ends the scan; the " +
               std::to_string(j.uncovered) + " bytes after it are not covered by the code\n";
    return out;
}

// The dialog's texts, headed by the name when there are several releases.
std::string blocks_text(const Judgement &j, bool headed) {
    if (!j.checked)
        return "";
    std::string out = headed ? escaped_name(j.name) + ":\n" : "";
    for (const std::string &line : j.status)
        out += line + "\n";
    const Verdict &verdict = j.genuine ? passed_verdict : failed_verdict;
    return out + verdict.line + "\n" + verdict.detail + "\n";
}

// One line: genuine, NOT genuine with the failed status line and the
// reason, or not checked with the reason.
std::string brief_text(const Judgement &j) {
    return escaped_name(j.name) + ": " + verdict_text(j) + "\n";
}

// One JSON object on one line; the README lists the same fields.
std::string json_text(const Judgement &j) {
    auto text_or_null = [](const std::string &text) {
        return text.empty() ? std::string("null") : json_string(text);
    };
    std::string status;
    for (const std::string &line : j.status)
        status.append(status.empty() ? "" : ",").append(json_string(line));
    const Verdict &verdict = j.genuine ? passed_verdict : failed_verdict;
    return "{" + json_path_members(j.name) + ",\"checked\":" + (j.checked ? "true" : "false") +
           ",\"genuine\":" + (j.genuine ? "true" : "false") +
           ",\"stage\":" + std::to_string(j.stage) + ",\"status\":[" + status +
           "],\"verdict\":" + (j.checked ? json_string(verdict.line) : "null") +
           ",\"size\":" + std::to_string(j.size) + ",\"covered\":" + std::to_string(j.covered) +
           ",\"uncovered\":" + std::to_string(j.uncovered) + ",\"key\":" + text_or_null(j.key) +
           ",\"reason\":" + text_or_null(j.reason) + ",\"read\":" + (j.read ? "true" : "false") +
           ",\"unchanged_since\":" + (j.read ? "null" : json_string(iso_date(j.judged))) + "}\n";
}

Written write(const Judgement &j, Format format, bool headed) {
    switch (format) {
    case Format::quiet: return {};
    case Format::blocks: return {blocks_text(j, headed), notes(j, format)};
    case Format::brief: return {brief_text(j), notes(j, format)};
    case Format::json: return {json_text(j), notes(j, format)};
    }
    return {};
}

// ---- Progress on a terminal ----

// A line on standard error, updated in place while the work is long, and
// wiped when it ends or when a result is printed.
class Progress {
  public:
    // The total is known in bytes for one release, and in releases from the
    // last run of a state database; 0 where it is not known.
    Progress(bool shown, std::uint64_t total_bytes, std::uint64_t total_releases)
        : shown_(shown), total_(total_bytes), total_releases_(total_releases),
          start_(clock::now()) {
        // Without a thread for it, the work goes on without a progress line.
        try {
            if (shown_)
                thread_ = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            shown_ = false;
        }
    }
    ~Progress() {
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
    // Wipes the line before results go to the same terminal, and keeps it
    // from being drawn again until the returned lock goes, so that no result
    // is glued onto it.
    std::unique_lock<std::mutex> wipe() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (drawn_)
            std::fputs("\r\033[K", stderr);
        drawn_ = false;
        return lock;
    }
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> releases{0};

  private:
    using clock = std::chrono::steady_clock;

    void run() {
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
            int n =
                std::snprintf(line, sizeof line, "\rreleases checked: %llu%s, %.1f MB, %.1f MB/s",
                              static_cast<unsigned long long>(done), count,
                              static_cast<double>(bytes) / 1e6, rate / 1e6);
            double left = -1;
            if (total_ && rate > 0 && bytes < total_)
                left = static_cast<double>(total_ - bytes) / rate;
            else if (total_releases_ && done > 0 && done < total_releases_)
                left = seconds * static_cast<double>(total_releases_ - done) /
                       static_cast<double>(done);
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

    bool shown_;
    std::uint64_t total_, total_releases_;
    clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool drawn_ = false;
    std::thread thread_;
};

// ---- Workers ----

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
    // `source` guards the releases, which may wait on a slow list; `mutex`
    // the rest, so that the printing never waits on the list.
    std::mutex source, mutex;
    std::condition_variable for_workers, for_printing;
    std::map<std::size_t, Judgement> done;
    std::size_t taken = 0, printed = 0, waiting = 0;
    bool exhausted = false, stop = false;
    const std::size_t batch = 32, window = 64 * settings.jobs;
    const auto look_again = std::chrono::milliseconds(20);

    auto work = [&] {
        for (;;) {
            Release release;
            std::size_t index;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++waiting;
                for_workers.wait(lock,
                                 [&] { return stop || exhausted || taken < printed + window; });
                --waiting;
                if (stop || exhausted)
                    return;
            }
            {
                std::lock_guard<std::mutex> source_lock(source);
                bool found = releases.next(release);
                std::lock_guard<std::mutex> lock(mutex);
                if (!found)
                    exhausted = true;
                if (!found || stop) {
                    for_workers.notify_all();
                    for_printing.notify_one();
                    return;
                }
                index = taken++;
            }
            Judgement judgement = judge_entry(release, settings, progress.bytes);
            ++progress.releases;
            std::lock_guard<std::mutex> lock(mutex);
            done.emplace(index, std::move(judgement));
            if (done.count(printed) && (done.size() >= batch || exhausted))
                for_printing.notify_one();
        }
    };
    // As many workers as the system lets start; with none, this thread
    // checks the releases itself.
    std::vector<std::thread> workers;
    try {
        while (workers.size() < settings.jobs)
            workers.emplace_back(work);
    } catch (const std::system_error &e) {
        report("-j " + std::to_string(settings.jobs),
               "only " + std::to_string(workers.size()) + " workers could start", e.what());
        if (workers.empty())
            return check_serially(releases, settings, progress, print);
    }
    for (;;) {
        // Every judgement that is ready in order, printed in one go.
        std::vector<Judgement> ready;
        {
            std::unique_lock<std::mutex> lock(mutex);
            for_printing.wait_for(lock, look_again, [&] {
                return stop || (exhausted && printed == taken) ||
                       (done.count(printed) && (done.size() >= batch || exhausted));
            });
            for (auto next = done.find(printed + ready.size()); next != done.end();
                 next = done.find(printed + ready.size())) {
                ready.push_back(std::move(next->second));
                done.erase(next);
            }
            if (stop || (ready.empty() && exhausted && printed == taken))
                break;
        }
        bool go_on = true;
        {
            auto held = progress.wipe();
            std::size_t handed = 0;
            while (go_on && handed < ready.size())
                go_on = print(ready[handed++]);
        }
        std::lock_guard<std::mutex> lock(mutex);
        printed += ready.size();
        stop = !go_on;
        if (waiting)
            for_workers.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        for_workers.notify_all();
    }
    for (std::thread &worker : workers)
        worker.join();
}

std::string count_of(std::uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What the command line asks for: the settings, the operands and the state
// database's file. Returns -1 to go on, or the exit status of a usage
// error or of --help.
int read_options(const std::vector<std::string> &args, Settings &settings,
                 std::vector<std::string> &operands, std::string &state_file) {
    enum {
        brief = 256,
        json,
        strict,
        files_from,
        key_file,
        exclude,
        state,
        incremental,
        recheck,
        resume,
        read_ahead
    };
    std::vector<std::string> key_files, formats; // formats as given, to refuse two at once
    std::string bad_jobs, bad_days, bad_ahead;
    auto number = [](const char *value, unsigned long most, std::string &bad) {
        char *end = nullptr;
        unsigned long n = std::strtoul(value, &end, 10);
        if (*value < '0' || *value > '9' || *end || n > most)
            bad = std::string("'") + value + "'";
        return n;
    };
    int status = parse_options(
        args,
        {{"quiet", 'q', nullptr},
         {"brief", brief, nullptr},
         {"json", json, nullptr},
         {"strict", strict, nullptr},
         {"recursive", 'r', nullptr},
         {"files-from", files_from, "a file name"},
         {"null", '0', nullptr},
         {"jobs", 'j', "a number"},
         {"read-ahead", read_ahead, "a number"},
         {"key", key_file, "a file name"},
         {"exclude", exclude, "a pattern"},
         {"state", state, "a file name"},
         {"incremental", incremental, nullptr},
         {"recheck-after", recheck, "a number of days"},
         {"resume", resume, nullptr}},
        verify_help,
        [&](int key, const char *value) {
            switch (key) {
            case 'q': settings.format = Format::quiet, formats.push_back("-q"); break;
            case brief: settings.format = Format::brief, formats.push_back("--brief"); break;
            case json: settings.format = Format::json, formats.push_back("--json"); break;
            case strict: settings.strict = true; break;
            case 'r': settings.recursive = true; break;
            case files_from: settings.files_from = value; break;
            case '0': settings.null_separated = true; break;
            case key_file: key_files.push_back(value); break;
            case exclude: settings.excludes.push_back(value); break;
            case state: state_file = value; break;
            case incremental: settings.incremental = true; break;
            case resume: settings.resume = true; break;
            case recheck:
                settings.recheck_after =
                    static_cast<std::int64_t>(number(value, 100000, bad_days)) * 86400;
                break;
            case read_ahead:
                settings.read_ahead = static_cast<unsigned>(number(value, 256, bad_ahead));
                break;
            case 'j':
                settings.jobs = static_cast<unsigned>(number(value, 256, bad_jobs));
                if (settings.jobs == 0 && bad_jobs.empty())
                    bad_jobs = std::string("'") + value + "'";
                break;
            }
        },
        operands);
    if (status >= 0)
        return status;
    if (!bad_jobs.empty())
        return usage_error("-j needs a number from 1 to 256, not " + bad_jobs, verify_help);
    if (!bad_ahead.empty())
        return usage_error("--read-ahead needs a number from 0 to 256, not " + bad_ahead,
                           verify_help);
    for (const std::string &f : formats)
        if (f != formats[0])
            return usage_error(formats[0] + " and " + f + " cannot be given together", verify_help);
    if (settings.null_separated && settings.files_from.empty())
        return usage_error("-0 goes with --files-from", verify_help);
    if (!bad_days.empty())
        return usage_error("--recheck-after needs a number of days, not " + bad_days, verify_help);
    if (state_file.empty() && (settings.incremental || settings.resume))
        return usage_error(std::string(settings.resume ? "--resume" : "--incremental") +
                               " goes with --state",
                           verify_help);
    if (settings.recheck_after >= 0 && !settings.incremental)
        return usage_error("--recheck-after goes with --incremental", verify_help);
    if (settings.files_from == "-" &&
        std::find(key_files.begin(), key_files.end(), "-") != key_files.end())
        return usage_error("--key - and --files-from - cannot both be standard input", verify_help);
    for (const std::string &file : key_files) {
        NamedKey named;
        if (!load_key_file(file, named.key))
            return exit_trouble;
        named.id = key_id(named.key);
        for (const NamedKey &other : settings.keys)
            if (other.id == named.id)
                return usage_error("two keys with the id " + named.id + " (" + file +
                                       "): a release could not be told apart",
                                   verify_help);
        settings.keys.push_back(named);
    }
    if (settings.keys.empty())
        settings.keys.push_back({build_key, key_id(build_key)});
    if (settings.jobs == 0)
        settings.jobs = std::max(1u, std::thread::hardware_concurrency());
    if (operands.empty() && settings.files_from.empty())
        operands.push_back(".");
    return -1;
}

// What the run looks at, resolved from the working folder.
RunScope scope_of(const Settings &settings, const std::vector<std::string> &operands) {
    RunScope scope;
    scope.known = true;
    std::error_code ec;
    scope.folder = display_name(fs::current_path(ec));
    for (const std::string &operand : operands)
        scope.operands.push_back(place_of(scope.folder, operand));
    scope.excludes = settings.excludes;
    scope.list = settings.files_from;
    scope.recursive = settings.recursive;
    return scope;
}

// Opens the state database and starts the run in it, or takes up the one
// to resume; reports a failure.
bool start_state(StateDb &state, const std::string &file, const std::vector<std::string> &args,
                 const std::vector<std::string> &operands, Settings &settings) {
    std::string arguments, error;
    for (const std::string &arg : args)
        arguments.append(arguments.empty() ? "" : " ").append(escaped_name(arg));
    settings.scope = scope_of(settings, operands);
    if (!state.open_for_run(file, error) ||
        !state.start_run(arguments, verdict_settings(settings), settings.scope, settings.resume,
                         error)) {
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
        return false;
    }
    settings.state = &state;
    return true;
}

// What the summary counts.
struct Tally {
    std::uint64_t checked = 0, not_genuine = 0, not_checked = 0, unread = 0, resumed = 0;
};

void count(Tally &tally, const Judgement &j) {
    tally.checked += j.checked;
    tally.not_genuine += j.checked && !j.genuine;
    tally.not_checked += !j.checked;
    tally.unread += !j.read && !j.resumed;
    tally.resumed += j.resumed;
}

// The summary on standard error, as the checksum tools warn.
void print_summary(const Tally &t) {
    if (t.checked > 1 && t.not_genuine)
        std::fprintf(stderr, "qortool: WARNING: %llu of %llu releases are NOT genuine\n",
                     static_cast<unsigned long long>(t.not_genuine),
                     static_cast<unsigned long long>(t.checked));
    if (t.not_checked)
        std::fprintf(stderr, "qortool: WARNING: %s not be checked\n",
                     count_of(t.not_checked, "path could", "paths could").c_str());
    if (t.unread)
        std::fprintf(stderr, "qortool: %s unchanged since last read, not read again\n",
                     count_of(t.unread, "release", "releases").c_str());
    if (t.resumed)
        std::fprintf(stderr, "qortool: %s judged before the run was cut off\n",
                     count_of(t.resumed, "release", "releases").c_str());
}

// Checks every release and prints each as it is judged, in order, and
// records it in the state database. What is committed has been printed
// first, so that after a kill every committed release was shown at least
// once. False when the output could not be written or the database not
// used (the database's error() says why).
bool check_and_print(Releases &releases, const Settings &settings, bool single, Tally &tally) {
    // The progress line knows the total: in bytes for one file, in releases
    // from the database's last run.
    std::uint64_t single_size = 0;
    if (single) {
        std::error_code ec;
        fs::path path = reachable_path(releases.first_operand());
        if (!fs::is_directory(path, ec))
            single_size = fs::file_size(path, ec);
    }
    const bool shows_progress =
        settings.format != Format::quiet && settings.format != Format::json && stderr_is_terminal();
    Progress progress(shows_progress, single_size,
                      settings.state ? settings.state->releases_last_time() : 0);
    bool write_error = false;
    std::uint64_t blocks = 0;
    StateDb *state = settings.state;
    check_all(releases, settings, progress, [&](const Judgement &j) {
        count(tally, j);
        if (j.resumed)
            return true; // printed before the run was cut off
        Written written = write(j, settings.format, !single);
        if (settings.format == Format::blocks && !written.out.empty() && blocks++)
            std::fputc('\n', stdout);
        std::fputs(written.out.c_str(), stdout);
        std::fputs(written.err.c_str(), stderr);
        write_error = std::ferror(stdout) != 0;
        if (write_error || !state)
            return !write_error;
        if (!state->record(j))
            return false;
        if (state->commit_due()) {
            write_error = std::fflush(stdout) != 0;
            std::fflush(stderr);
            if (write_error || !state->commit())
                return false;
        }
        return state->error().empty();
    });
    return !write_error && (!state || state->error().empty());
}

} // namespace

int cmd_verify(const std::vector<std::string> &args) {
    Settings settings;
    std::vector<std::string> operands;
    std::string state_file, error;
    if (int status = read_options(args, settings, operands, state_file); status >= 0)
        return status;
    // Reading ahead serves a walk that reads its files; an incremental run
    // reads only what changed.
    const bool ahead = settings.recursive && !settings.incremental;
    Releases releases(settings, operands, ahead ? settings.read_ahead : 0);
    if (!releases.open(error)) {
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
        return exit_trouble;
    }
    StateDb state;
    if (!state_file.empty() && !start_state(state, state_file, args, operands, settings))
        return exit_trouble;

    // A single release given as such prints as the dialog shows it; any
    // other count heads each block with its path.
    const bool single = operands.size() == 1 && settings.files_from.empty() && !settings.recursive;
    Tally tally;
    check_and_print(releases, settings, single, tally);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qortool: write error: %s\n", std::strerror(errno ? errno : EIO));
        return exit_trouble;
    }
    // The run is finished only when every release has been recorded and the
    // list was read to its end; otherwise --resume goes on with it.
    std::string state_error = settings.state ? state.error() : "";
    if (settings.state && state_error.empty() && releases.list_error().empty() && !state.finish())
        state_error = state.error();
    if (!state_error.empty()) {
        std::fprintf(stderr, "qortool: %s\n", state_error.c_str());
        return exit_trouble;
    }
    if (settings.format != Format::quiet)
        print_summary(tally);
    if (!releases.list_error().empty()) {
        std::fprintf(stderr, "qortool: %s\n", releases.list_error().c_str());
        return exit_trouble;
    }
    return tally.not_genuine || tally.not_checked ? exit_failed : exit_ok;
}

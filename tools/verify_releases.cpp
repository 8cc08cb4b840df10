// qortool verify: checks releases as the certificator does, one or a whole
// archive, on several workers, and reports them in the order given.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "commands.h"
#include "files.h"
#include "options.h"
#include "verify.h"

namespace fs = std::filesystem;

#include "key_file.h"

const char verify_help[] =
    "usage: qortool verify [-q | --brief | --json] [--strict] [-r] [-j N]\n"
    "                      [--files-from FILE [-0]] [--key FILE]... [--] [PATH...]\n"
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
    "  --key FILE         check under the key in FILE instead of this\n"
    "                     qortool's; given more than once, say which key a\n"
    "                     release fits\n"
    "Exit status: 0 every release genuine, 1 any not genuine, 2 usage error\n"
    "or an error of the tool (output that cannot be written).\n";

namespace {

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
    std::vector<NamedKey> keys; // several: say which one a release fits
};

// ---- Finding releases ----

bool same_ignoring_case(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// One release to check: a path as given or found, and for a folder the
// entries in it named like the information file.
struct Release {
    fs::path path;
    bool folder = false;
    std::vector<fs::path> information_files;
};

// The entries of a folder named like the information file, in any letter
// case, and (when `subfolders` is given) its subfolders that are no links;
// both sorted.
void list_folder(const fs::path &folder, std::vector<fs::path> &information_files,
                 std::vector<fs::path> *subfolders) {
    std::error_code ec;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, ec)) {
        std::error_code ignored;
        if (same_ignoring_case(entry.path().filename().string(), info_file_name))
            information_files.push_back(entry.path());
        else if (subfolders && entry.is_directory(ignored) && !entry.is_symlink(ignored))
            subfolders->push_back(entry.path());
    }
    std::sort(information_files.begin(), information_files.end());
    if (subfolders)
        std::sort(subfolders->begin(), subfolders->end());
}

// The paths to check, one at a time, in a stable order: the operands, then
// the paths read from --files-from; with -r, the release folders under each
// path instead, found depth first in sorted order. Nothing is read ahead, so
// memory stays the same whatever the archive's size.
class Releases {
  public:
    Releases(const Settings &settings, std::vector<std::string> operands)
        : settings_(settings), operands_(std::move(operands)) {}

    bool open(std::string &error) {
        if (settings_.files_from.empty())
            return true;
        if (settings_.files_from == "-") {
            list_ = stdin;
            return true;
        }
        list_ = open_file(path_from_argument(settings_.files_from), "rb");
        if (!list_)
            error = settings_.files_from + ": cannot open: " + std::strerror(errno);
        return list_ != nullptr;
    }

    ~Releases() {
        if (list_ && list_ != stdin)
            std::fclose(list_);
    }

    // The next release, or false when there are no more.
    bool next(Release &release) {
        for (;;) {
            if (!walk_.empty()) {
                if (next_in_walk(release))
                    return true;
                continue;
            }
            std::string given;
            if (next_operand < operands_.size())
                given = operands_[next_operand++];
            else if (!read_listed(given))
                return false;
            fs::path path = path_from_argument(given);
            std::error_code ec;
            bool folder = fs::is_directory(path, ec);
            if (settings_.recursive && folder) {
                walk_.push_back({{path}, 0});
                continue;
            }
            release = {path, folder, {}};
            if (folder)
                list_folder(path, release.information_files, nullptr);
            return true;
        }
    }

  private:
    struct Level {
        std::vector<fs::path> folders;
        std::size_t next;
    };

    bool next_in_walk(Release &release) {
        Level &level = walk_.back();
        if (level.next == level.folders.size()) {
            walk_.pop_back();
            return false;
        }
        fs::path folder = level.folders[level.next++];
        std::vector<fs::path> files, subfolders;
        list_folder(folder, files, &subfolders);
        if (!subfolders.empty())
            walk_.push_back({std::move(subfolders), 0});
        if (files.empty())
            return false;
        release = {folder, true, std::move(files)};
        return true;
    }

    bool read_listed(std::string &path) {
        if (!list_)
            return false;
        int end = settings_.null_separated ? '\0' : '\n';
        for (;;) {
            path.clear();
            int c;
            while ((c = std::fgetc(list_)) != EOF && c != end)
                path += static_cast<char>(c);
            if (!path.empty())
                return true;
            if (c == EOF)
                return false;
        }
    }

    const Settings &settings_;
    std::vector<std::string> operands_;
    std::size_t next_operand = 0;
    std::FILE *list_ = nullptr;
    std::vector<Level> walk_;
};

// ---- Checking one release ----

struct Outcome {
    std::string output; // for standard output
    std::string notes;  // for standard error
    bool genuine = false;
};

void record_text(void *dialog, int control_id, const char *text) {
    (*static_cast<std::map<int, std::string> *>(dialog))[control_id] = text;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

Outcome check(const Release &release, const Settings &settings, bool headed,
              std::atomic<std::uint64_t> &scanned) {
    const std::string name = display_name(release.path);
    fs::path file = release.path;
    const char *ambiguous = nullptr;
    if (release.folder) {
        if (release.information_files.size() == 1)
            file = release.information_files[0];
        else
            file = release.path / info_file_name; // absent: the presence stage says so
        if (release.information_files.size() > 1)
            ambiguous = "more than one information file, differing in letter case";
    }

    // Under each key in turn, until one fits. A release that fails before
    // stage 5 fails alike under every key.
    std::map<int, std::string> shown;
    RunReport report = {};
    bool genuine = false;
    const NamedKey *fits = nullptr;
    for (std::size_t k = 0; !ambiguous && k < settings.keys.size(); ++k) {
        shown.clear();
        report.progress = &scanned;
        genuine = run_verification({record_text, &shown}, file, &report, settings.keys[k].key);
        if (genuine)
            fits = &settings.keys[k];
        if (genuine || report.stage < 5)
            break;
    }
    const bool several_keys = settings.keys.size() > 1;

    // Every byte of the content is covered unless a marker that the scan
    // recognises comes before the trailer's.
    std::uint64_t content = report.size >= trailer_length ? report.size - trailer_length : 0;
    std::uint64_t uncovered =
        report.stage == 5 && report.covered < content ? content - report.covered : 0;
    std::string reason;
    if (ambiguous)
        reason = ambiguous;
    else if (report.reason)
        reason = report.reason;
    else if (genuine && uncovered && settings.strict)
        reason = "bytes of the content are not covered by the code";
    else if (!genuine && report.stage == 5 && several_keys)
        reason = "fits none of the given keys";

    Outcome outcome;
    outcome.genuine = genuine && !(settings.strict && uncovered);
    if (ambiguous) {
        std::string files;
        for (const fs::path &f : release.information_files)
            files.append(files.empty() ? "" : ", ").append(display_name(f.filename()));
        outcome.notes += "qortool: " + name + ": ambiguous: " + files + "\n";
    }
    if (fits && several_keys && settings.format == Format::blocks)
        outcome.notes += "qortool: " + name + ": fits key " + fits->id + "\n";
    if (genuine && uncovered)
        outcome.notes += "qortool: " + name + ": a marker at offset " +
                         std::to_string(report.covered) + " ends the scan; the " +
                         std::to_string(uncovered) +
                         " bytes after it are not covered by the code\n";

    std::vector<std::string> lines;
    for (const StatusLine &line : status_lines)
        if (shown.count(line.control_id))
            lines.push_back(shown[line.control_id]);
    const Verdict &verdict = outcome.genuine ? passed_verdict : failed_verdict;
    switch (settings.format) {
    case Format::quiet: break;
    case Format::blocks:
        if (headed)
            outcome.output += name + ":\n";
        for (const std::string &line : lines)
            outcome.output += line + "\n";
        outcome.output += std::string(verdict.line) + "\n" + verdict.detail + "\n";
        break;
    case Format::brief:
        outcome.output += name + ": ";
        if (outcome.genuine) {
            outcome.output += several_keys ? "genuine (key " + fits->id + ")\n" : "genuine\n";
        } else {
            // The failed status line, unless the run passed and only
            // --strict refuses it.
            std::string why = ambiguous || genuine || lines.empty() ? "" : lines.back();
            if (!reason.empty())
                why.append(why.empty() ? "" : " ").append(reason);
            outcome.output += "NOT genuine (" + why + ")\n";
        }
        break;
    case Format::json: {
        std::string status;
        for (const std::string &line : lines)
            status.append(status.empty() ? "" : ",").append(json_string(line));
        outcome.output += "{\"path\":" + json_string(name) +
                          ",\"genuine\":" + (outcome.genuine ? "true" : "false") +
                          ",\"stage\":" + std::to_string(ambiguous ? 0 : report.stage) +
                          ",\"status\":[" + status + "],\"verdict\":" + json_string(verdict.line) +
                          ",\"size\":" + std::to_string(report.size) +
                          ",\"covered\":" + std::to_string(report.stage == 5 ? report.covered : 0) +
                          ",\"uncovered\":" + std::to_string(uncovered) +
                          ",\"key\":" + (fits ? json_string(fits->id) : "null") +
                          ",\"reason\":" + (reason.empty() ? "null" : json_string(reason)) + "}\n";
        break;
    }
    }
    return outcome;
}

// ---- Progress on a terminal ----

// A line on standard error, updated in place while the work is long, and
// wiped when it ends or when a result is printed.
class Progress {
  public:
    Progress(bool shown, std::uint64_t total_bytes)
        : shown_(shown), total_(total_bytes), start_(clock::now()) {
        if (shown_)
            thread_ = std::thread([this] { run(); });
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
    // Wipes the line before a result goes to the same terminal.
    void wipe() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (drawn_)
            std::fputs("\r\033[K", stderr);
        drawn_ = false;
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
            char line[160];
            int n = std::snprintf(line, sizeof line, "\rreleases checked: %llu, %.1f MB, %.1f MB/s",
                                  static_cast<unsigned long long>(releases.load()),
                                  static_cast<double>(bytes) / 1e6, rate / 1e6);
            if (total_ && rate > 0 && bytes < total_)
                std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ", %.0f s left",
                              static_cast<double>(total_ - bytes) / rate);
            std::fputs(line, stderr);
            std::fputs("\033[K", stderr);
            std::fflush(stderr);
            drawn_ = true;
        }
    }

    bool shown_;
    std::uint64_t total_;
    clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool drawn_ = false;
    std::thread thread_;
};

// ---- Workers ----

// Runs `jobs` workers over the releases and hands their outcomes to `print`
// in the order the releases came. A worker runs at most a window of
// releases ahead of the printing, so memory stays small.
void check_all(Releases &releases, const Settings &settings, bool headed, Progress &progress,
               const std::function<bool(const Outcome &)> &print) {
    // `source` guards the releases, which may wait on a slow list; `mutex`
    // the rest, so that the printing never waits on the list.
    std::mutex source, mutex;
    std::condition_variable changed;
    std::map<std::size_t, Outcome> done;
    std::size_t taken = 0, printed = 0;
    bool exhausted = false, stop = false;
    const std::size_t window = 4 * settings.jobs;

    auto work = [&] {
        for (;;) {
            Release release;
            std::size_t index;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop || exhausted || taken < printed + window; });
                if (stop || exhausted)
                    return;
            }
            {
                std::lock_guard<std::mutex> source_lock(source);
                bool found = releases.next(release);
                std::lock_guard<std::mutex> lock(mutex);
                if (!found || stop) {
                    exhausted = true;
                    changed.notify_all();
                    return;
                }
                index = taken++;
            }
            Outcome outcome = check(release, settings, headed, progress.bytes);
            ++progress.releases;
            std::lock_guard<std::mutex> lock(mutex);
            done.emplace(index, std::move(outcome));
            changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < settings.jobs; ++i)
        workers.emplace_back(work);
    for (;;) {
        Outcome outcome;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock,
                         [&] { return done.count(printed) || (exhausted && printed == taken); });
            if (!done.count(printed))
                break;
            outcome = std::move(done[printed]);
            done.erase(printed);
        }
        progress.wipe();
        bool go_on = print(outcome);
        std::lock_guard<std::mutex> lock(mutex);
        ++printed;
        stop = stop || !go_on;
        changed.notify_all();
    }
    for (std::thread &worker : workers)
        worker.join();
}

} // namespace

int cmd_verify(const std::vector<std::string> &args) {
    Settings settings;
    enum { brief = 256, json, strict, files_from, key_file };
    std::vector<std::string> key_files;
    std::vector<std::string> operands;
    std::string bad_jobs;
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
         {"key", key_file, "a file name"}},
        verify_help,
        [&](int key, const char *value) {
            switch (key) {
            case 'q': settings.format = Format::quiet; break;
            case brief: settings.format = Format::brief; break;
            case json: settings.format = Format::json; break;
            case strict: settings.strict = true; break;
            case 'r': settings.recursive = true; break;
            case files_from: settings.files_from = value; break;
            case '0': settings.null_separated = true; break;
            case key_file: key_files.push_back(value); break;
            case 'j': {
                char *end = nullptr;
                unsigned long n = std::strtoul(value, &end, 10);
                if (*value < '0' || *value > '9' || *end || n < 1 || n > 256)
                    bad_jobs = value;
                settings.jobs = static_cast<unsigned>(n);
                break;
            }
            }
        },
        operands);
    if (status >= 0)
        return status;
    if (!bad_jobs.empty())
        return usage_error("-j needs a number from 1 to 256, not '" + bad_jobs + "'", verify_help);
    for (const std::string &file : key_files) {
        NamedKey named;
        if (!load_key_file(file, named.key))
            return exit_usage;
        named.id = key_id(named.key);
        settings.keys.push_back(named);
    }
    if (settings.keys.empty())
        settings.keys.push_back({build_key, key_id(build_key)});
    if (settings.jobs == 0)
        settings.jobs = std::max(1u, std::thread::hardware_concurrency());
    if (operands.empty() && settings.files_from.empty())
        operands.push_back(".");

    // A single release given as such prints as the dialog shows it; any
    // other count heads each block with its path.
    bool single = operands.size() == 1 && settings.files_from.empty() && !settings.recursive;
    std::uint64_t single_size = 0;
    if (single) {
        std::error_code ec;
        fs::path path = path_from_argument(operands[0]);
        if (!fs::is_directory(path, ec))
            single_size = fs::file_size(path, ec);
    }
    Releases releases(settings, operands);
    std::string error;
    if (!releases.open(error)) {
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
        return exit_usage;
    }
    bool shows_progress =
        settings.format != Format::quiet && settings.format != Format::json && stderr_is_terminal();
    std::uint64_t checked = 0, not_genuine = 0;
    bool write_error = false;
    {
        Progress progress(shows_progress, single_size);
        check_all(releases, settings, !single, progress, [&](const Outcome &outcome) {
            ++checked;
            not_genuine += !outcome.genuine;
            if (settings.format == Format::quiet)
                return true;
            if (settings.format == Format::blocks && checked > 1)
                std::fputc('\n', stdout);
            std::fputs(outcome.output.c_str(), stdout);
            std::fputs(outcome.notes.c_str(), stderr);
            write_error = std::ferror(stdout) != 0;
            return !write_error;
        });
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || write_error) {
        std::fprintf(stderr, "qortool: write error: %s\n", std::strerror(errno));
        return exit_usage;
    }
    if (checked > 1 && not_genuine && settings.format != Format::quiet)
        std::fprintf(stderr, "qortool: WARNING: %llu of %llu releases are NOT genuine\n",
                     static_cast<unsigned long long>(not_genuine),
                     static_cast<unsigned long long>(checked));
    return not_genuine ? exit_failed : exit_ok;
}

// qortool verify: checks releases as the certificator does, one or a whole
// archive, on several workers, and reports them in the order given. May
// include the library (lib/) and the core.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include "commands.h"
#include "files.h"
#include "judgement.h"
#include "keys.h"
#include "names.h"
#include "options.h"
#include "pool.h"
#include "progress.h"
#include "releases.h"
#include "report.h"
#include "state.h"
#include "verify.h"
#include "verify_settings.h"

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

std::string count_of(std::uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The options as given, before they are held against each other.
struct Given {
    std::vector<std::string> key_files, formats; // formats as given, to refuse two at once
    std::string bad_jobs, bad_days, bad_ahead;   // a value that is not a number in range
};

// Parses the command line into `settings`, the operands, the state file and
// what `given` keeps. Returns -1 to go on, or the exit status.
int parse_verify_options(const std::vector<std::string> &args, Settings &settings,
                         std::vector<std::string> &operands, std::string &state_file,
                         Given &given) {
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
    // A number from `lowest` to `highest`; a bad one is kept, quoted, in `bad`.
    auto number = [](const char *value, std::uint64_t lowest, std::uint64_t highest,
                     std::string &bad) {
        std::uint64_t n = 0;
        if (!parse_number(value, lowest, highest, n))
            bad = std::string("'") + value + "'";
        return n;
    };
    return parse_options(
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
            case 'q': settings.format = Format::quiet, given.formats.push_back("-q"); break;
            case brief: settings.format = Format::brief, given.formats.push_back("--brief"); break;
            case json: settings.format = Format::json, given.formats.push_back("--json"); break;
            case strict: settings.strict = true; break;
            case 'r': settings.recursive = true; break;
            case files_from: settings.files_from = value; break;
            case '0': settings.null_separated = true; break;
            case key_file: given.key_files.push_back(value); break;
            case exclude: settings.excludes.push_back(value); break;
            case state: state_file = value; break;
            case incremental: settings.incremental = true; break;
            case resume: settings.resume = true; break;
            case recheck:
                settings.recheck_after =
                    static_cast<std::int64_t>(number(value, 0, 100000, given.bad_days)) * 86400;
                break;
            case read_ahead:
                settings.read_ahead = static_cast<unsigned>(number(value, 0, 256, given.bad_ahead));
                break;
            case 'j':
                settings.jobs = static_cast<unsigned>(number(value, 1, 256, given.bad_jobs));
                break;
            }
        },
        operands);
}

// The first usage error among the options as given, or an empty text.
std::string refused_options(const Settings &settings, const std::string &state_file,
                            const Given &given) {
    if (!given.bad_jobs.empty())
        return "-j needs a number from 1 to 256, not " + given.bad_jobs;
    if (!given.bad_ahead.empty())
        return "--read-ahead needs a number from 0 to 256, not " + given.bad_ahead;
    for (const std::string &f : given.formats)
        if (f != given.formats[0])
            return given.formats[0] + " and " + f + " cannot be given together";
    if (settings.null_separated && settings.files_from.empty())
        return "-0 goes with --files-from";
    if (!given.bad_days.empty())
        return "--recheck-after needs a number of days, not " + given.bad_days;
    if (state_file.empty() && (settings.incremental || settings.resume))
        return std::string(settings.resume ? "--resume" : "--incremental") + " goes with --state";
    if (settings.recheck_after >= 0 && !settings.incremental)
        return "--recheck-after goes with --incremental";
    const auto &keys = given.key_files;
    if (settings.files_from == "-" && std::find(keys.begin(), keys.end(), "-") != keys.end())
        return "--key - and --files-from - cannot both be standard input";
    return "";
}

// Loads the keys given with --key, or takes the build's. Returns -1 to go
// on, or the exit status.
int load_keys(const std::vector<std::string> &key_files, Settings &settings) {
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
    return -1;
}

// What the command line asks for: the settings, the operands and the state
// database's file. Returns -1 to go on, or the exit status of a usage
// error or of --help.
int read_options(const std::vector<std::string> &args, Settings &settings,
                 std::vector<std::string> &operands, std::string &state_file) {
    Given given;
    if (int status = parse_verify_options(args, settings, operands, state_file, given); status >= 0)
        return status;
    if (std::string refused = refused_options(settings, state_file, given); !refused.empty())
        return usage_error(refused, verify_help);
    if (int status = load_keys(given.key_files, settings); status >= 0)
        return status;
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
        report_message("%s", error.c_str());
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
    tally.unread += !j.was_read && !j.resumed;
    tally.resumed += j.resumed;
}

// The summary on standard error, as the checksum tools warn.
void print_summary(const Tally &t) {
    if (t.checked > 1 && t.not_genuine)
        report_message("WARNING: %llu of %llu releases are NOT genuine",
                       static_cast<unsigned long long>(t.not_genuine),
                       static_cast<unsigned long long>(t.checked));
    if (t.not_checked)
        report_message("WARNING: %s not be checked",
                       count_of(t.not_checked, "path could", "paths could").c_str());
    if (t.unread)
        report_message("%s unchanged since last read, not read again",
                       count_of(t.unread, "release", "releases").c_str());
    if (t.resumed)
        report_message("%s judged before the run was cut off",
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
        report_message("%s", error.c_str());
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
        report_write_error();
        return exit_trouble;
    }
    // The run is finished only when every release has been recorded and the
    // list was read to its end; otherwise --resume goes on with it.
    std::string state_error = settings.state ? state.error() : "";
    if (settings.state && state_error.empty() && releases.list_error().empty() && !state.finish())
        state_error = state.error();
    if (!state_error.empty()) {
        report_message("%s", state_error.c_str());
        return exit_trouble;
    }
    if (settings.format != Format::quiet)
        print_summary(tally);
    if (!releases.list_error().empty()) {
        report_message("%s", releases.list_error().c_str());
        return exit_trouble;
    }
    return tally.not_genuine || tally.not_checked ? exit_failed : exit_ok;
}

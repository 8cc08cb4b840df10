// qortool audit: what changed in an archive between two runs of
// `verify --state`, read from the state database alone.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "commands.h"
#include "files.h"
#include "judgement.h"
#include "names.h"
#include "options.h"
#include "report.h"
#include "state.h"

const char audit_help[] =
    "usage: qortool audit --state FILE [--run OLD --run NEW]\n"
    "                     [--json | --csv | --html REPORT [--force]] [--exclude PATTERN]...\n"
    "       qortool audit --state FILE --runs [--json]\n"
    "Compares two runs of verify --state recorded in FILE, by default the last\n"
    "two finished ones, where both looked, and prints one line for each\n"
    "release that is new, missing, not seen, whose verdict changed (old ->\n"
    "new), whose content changed under the same verdict (size, times or file\n"
    "identity), or that is left out of the comparison:\n"
    "  PATH: new: VERDICT      PATH: verdict changed: OLD -> NEW\n"
    "  PATH: missing: VERDICT  PATH: content changed: VERDICT\n"
    "  PATH: not seen (FOLDER: CAUSE): VERDICT\n"
    "  PATH: left out (REASON): VERDICT\n"
    "A release is not seen when the newer run could not open or read a folder\n"
    "that holds it (a share that was down); it is left out when one of the runs\n"
    "did not look where it is (other PATHs, another list, an --exclude).\n"
    "  --run N            a run to compare, by its number (see --runs)\n"
    "  --runs             list the runs: number, start, end (or unfinished,\n"
    "                     or running), releases, arguments\n"
    "  --json             one JSON object per line per release\n"
    "  --csv              a spreadsheet's rows (RFC 4180) with a header row\n"
    "  --html REPORT      write a report to read in a browser to REPORT\n"
    "  --force            replace an existing REPORT\n"
    "  --exclude PATTERN  pass over the releases whose path below its PATH\n"
    "                     matches PATTERN, as verify does\n"
    "Exit status: 0 nothing missing, not seen or newly not genuine, 1 a release\n"
    "is missing, not seen or newly not genuine, 2 usage error, a database that\n"
    "cannot be read, or fewer than two runs.\n";

namespace {

enum class Change { none, added, missing, verdict, content, not_seen, left_out };
constexpr int change_kinds = 7;

const char *change_name(Change c) {
    switch (c) {
    case Change::added: return "new";
    case Change::missing: return "missing";
    case Change::verdict: return "verdict changed";
    case Change::content: return "content changed";
    case Change::not_seen: return "not seen";
    case Change::left_out: return "left out";
    case Change::none: break;
    }
    return "unchanged";
}

enum class AuditFormat { lines, json, csv, html };

bool same_verdict(const Judgement &a, const Judgement &b) {
    return a.checked == b.checked && a.genuine == b.genuine && a.status == b.status &&
           a.reason == b.reason && a.key == b.key;
}

// How two judgements of one place differ.
Change change_between(const Judgement &old, const Judgement &now) {
    if (!same_verdict(old, now))
        return Change::verdict;
    // A release read in one run and taken over unchanged in the other has
    // the same stamp; one that could not be described is compared by size.
    if (old.identity.known != now.identity.known || old.size != now.size ||
        (old.identity.known && !same_file_state(old.identity, now.identity)))
        return Change::content;
    return Change::none;
}

// Where a run looked, in the places that the comparison uses.
struct Looked {
    RunScope scope;
    std::vector<std::string> operands;
    std::vector<Judgement> unchecked; // folders it could not open or read
};

// A scope's place without its folder, to meet places compared by their
// spelling.
std::string spelled(const RunScope &scope, const std::string &place) {
    const std::string prefix = scope.folder + "/";
    return place.compare(0, prefix.size(), prefix) == 0 ? place_of("", place.substr(prefix.size()))
                                                        : place;
}

// Why `looked` did not look at the release `j`; empty when it did, or when
// the run recorded no scope. `newer` names the run in the reason.
std::string not_looked_at(const Looked &looked, const Judgement &j, const char *run) {
    if (!looked.scope.known)
        return "";
    for (const std::string &operand : looked.operands) {
        const bool at = j.place == operand;
        if (!at && !(looked.scope.recursive && place_within(j.place, operand)))
            continue;
        // Below the operand, each folder on the way is what an --exclude
        // meets, as the walk meets it.
        const std::string below =
            at ? "" : j.place.substr(operand.size() + (operand == "/" ? 0 : 1));
        for (std::size_t end = below.find('/');; end = below.find('/', end + 1)) {
            if (!below.empty() && path_matches_any(looked.scope.excludes, below.substr(0, end)))
                return std::string("excluded by the ") + run + " run";
            if (end == std::string::npos)
                break;
        }
        return "";
    }
    return std::string(looked.scope.list.empty() ? "outside the " : "not listed by the ") + run +
           " run" + (looked.scope.list.empty() ? "'s PATHs" : "");
}

// The folder the newer run could not read that holds `j`, if any.
const Judgement *unseen_under(const Looked &looked, const Judgement &j) {
    for (const Judgement &folder : looked.unchecked)
        if (place_within(j.place, folder.place) && j.place != folder.place)
            return &folder;
    return nullptr;
}

// One row of the comparison.
struct Row {
    Change change = Change::none;
    const Judgement *old = nullptr, *now = nullptr;
    std::string why; // for not seen and left out
};

// The verdict as the --brief line shows it, with the key when it tells the
// two verdicts apart.
std::string shown_verdict(Judgement j, bool with_key) {
    j.was_read = true;
    j.several_keys = with_key;
    return verdict_text(j);
}

std::string row_verdict(const Row &row) {
    if (row.change == Change::verdict) {
        const bool keys =
            !row.old->key.empty() && !row.now->key.empty() && row.old->key != row.now->key;
        return shown_verdict(*row.old, keys) + " -> " + shown_verdict(*row.now, keys);
    }
    return shown_verdict(row.now ? *row.now : *row.old, false);
}

std::string json_verdict(const Judgement *j) {
    if (!j)
        return "null";
    return std::string("{\"checked\":") + (j->checked ? "true" : "false") +
           ",\"genuine\":" + (j->genuine ? "true" : "false") +
           ",\"stage\":" + std::to_string(j->stage) +
           ",\"reason\":" + (j->reason.empty() ? "null" : json_string(j->reason)) +
           ",\"key\":" + (j->key.empty() ? "null" : json_string(j->key)) +
           ",\"size\":" + std::to_string(j->size) +
           ",\"judged\":" + json_string(iso_date(j->judged)) + "}";
}

const std::string &row_name(const Row &row) { return (row.now ? row.now : row.old)->name; }

std::string row_text(const Row &row, AuditFormat format) {
    const std::string change = change_name(row.change);
    switch (format) {
    case AuditFormat::json:
        return "{" + json_path_members(row_name(row)) + ",\"change\":\"" + change +
               "\",\"why\":" + (row.why.empty() ? "null" : json_string(row.why)) +
               ",\"old\":" + json_verdict(row.old) + ",\"new\":" + json_verdict(row.now) + "}\n";
    case AuditFormat::csv:
        return csv_field(row_name(row)) + "," + csv_field(change) + "," + csv_field(row.why) + "," +
               csv_field(row.old ? shown_verdict(*row.old, false) : "") + "," +
               csv_field(row.now ? shown_verdict(*row.now, false) : "") + "\r\n";
    case AuditFormat::lines:
    case AuditFormat::html: break;
    }
    const std::string why = row.why.empty() ? "" : " (" + row.why + ")";
    return escaped_name(row_name(row)) + ": " + change + why + ": " + row_verdict(row) + "\n";
}

bool newly_not_genuine(const Judgement *old, const Judgement *now) {
    return now && now->checked && !now->genuine && (!old || old->genuine);
}

int list_runs(StateDb &state, bool json) {
    std::string error;
    std::vector<RunRow> runs = state.runs(error);
    if (!error.empty()) {
        report_message("%s", error.c_str());
        return exit_trouble;
    }
    const bool under_way = !runs.empty() && !runs.back().finished && state.run_under_way();
    for (const RunRow &run : runs) {
        const bool running = under_way && &run == &runs.back();
        const std::string ended = run.finished ? iso_date(run.ended)
                                  : running    ? "running"
                                               : "unfinished";
        if (json)
            std::printf("{\"run\":%lld,\"started\":%s,\"ended\":%s,\"running\":%s,"
                        "\"releases\":%llu,\"arguments\":%s}\n",
                        static_cast<long long>(run.id), json_string(iso_date(run.started)).c_str(),
                        run.finished ? json_string(ended).c_str() : "null",
                        running ? "true" : "false", static_cast<unsigned long long>(run.releases),
                        json_string(run.arguments).c_str());
        else
            std::printf("%lld %s %s %llu %s\n", static_cast<long long>(run.id),
                        iso_date(run.started).c_str(), ended.c_str(),
                        static_cast<unsigned long long>(run.releases), run.arguments.c_str());
    }
    return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
}

// The comparison's counts, and why releases were left out.
struct Counts {
    std::uint64_t of[change_kinds] = {};
    std::map<std::string, std::uint64_t> left_out;
    bool failed = false;
};

std::string summary_text(std::int64_t old_run, std::int64_t new_run, const Counts &c) {
    auto n = [&](Change kind) { return std::to_string(c.of[static_cast<int>(kind)]); };
    std::string text = "run " + std::to_string(old_run) + " to run " + std::to_string(new_run) +
                       ": " + n(Change::added) + " new, " + n(Change::missing) + " missing, " +
                       n(Change::verdict) + " verdict changed, " + n(Change::content) +
                       " content changed, " + n(Change::none) + " unchanged";
    if (c.of[static_cast<int>(Change::not_seen)])
        text += ", " + n(Change::not_seen) + " not seen";
    if (c.of[static_cast<int>(Change::left_out)]) {
        text += ", " + n(Change::left_out) + " left out (";
        std::string reasons;
        for (const auto &[why, count] : c.left_out)
            reasons.append(reasons.empty() ? "" : ", ").append(std::to_string(count) + " " + why);
        text += reasons + ")";
    }
    return text;
}

// What the HTML report needs besides the rows.
struct Report {
    const RunRow *old_run, *new_run;
    std::vector<StateDb::VerdictCounts> history;
};

std::string html_run(const RunRow &run) {
    return "<tr><th scope=\"row\">Run " + std::to_string(run.id) + "</th><td>" +
           iso_date(run.started) + "</td><td>" +
           (run.finished ? iso_date(run.ended) : std::string("unfinished")) + "</td><td>" +
           std::to_string(run.releases) + "</td><td><code>" + html_text(run.arguments) +
           "</code></td></tr>\n";
}

// The verdict counts of every run as bars: genuine, NOT genuine, not checked.
std::string html_chart(const std::vector<StateDb::VerdictCounts> &history) {
    std::uint64_t most = 1;
    for (const auto &run : history)
        most = std::max(most, run.genuine + run.not_genuine + run.not_checked);
    const int bar = 28, gap = 8, height = 120;
    const std::size_t width = history.size() * (bar + gap) + gap;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" width=\"" +
                      std::to_string(width) + "\" height=\"" + std::to_string(height + 20) +
                      "\" aria-label=\"verdicts of each run\">\n";
    for (std::size_t i = 0; i < history.size(); ++i) {
        const auto &run = history[i];
        const std::uint64_t parts[3] = {run.genuine, run.not_genuine, run.not_checked};
        const char *colours[3] = {"#2e7d32", "#c62828", "#9e9e9e"};
        double top = height;
        const std::size_t x = gap + i * (bar + gap);
        for (int k = 0; k < 3; ++k) {
            const double h = static_cast<double>(parts[k]) * height / static_cast<double>(most);
            top -= h;
            char rect[200];
            std::snprintf(rect, sizeof rect,
                          "<rect x=\"%zu\" y=\"%.1f\" width=\"%d\" height=\"%.1f\" fill=\"%s\"/>\n",
                          x, top, bar, h, colours[k]);
            svg += rect;
        }
        svg += "<text x=\"" + std::to_string(x + bar / 2) + "\" y=\"" +
               std::to_string(height + 15) + "\" text-anchor=\"middle\" font-size=\"11\">" +
               std::to_string(run.run) + "</text>\n";
        svg += "<title>run " + std::to_string(run.run) + ": " + std::to_string(run.genuine) +
               " genuine, " + std::to_string(run.not_genuine) + " NOT genuine, " +
               std::to_string(run.not_checked) + " not checked</title>\n";
    }
    return svg + "</svg>\n";
}

std::string html_report(const Report &report, const std::vector<std::string> &rows,
                        const Counts &counts) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">\n<title>QOR archive audit: run " +
        std::to_string(report.old_run->id) + " to run " + std::to_string(report.new_run->id) +
        "</title>\n<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
        "td,th{border:1px solid #bbb;padding:.2em .5em;text-align:left;vertical-align:top}"
        "code{white-space:pre-wrap}</style>\n</head>\n<body>\n<h1>QOR archive audit</h1>\n"
        "<h2>Verdicts of every run</h2>\n" +
        html_chart(report.history) +
        "<p>Green: genuine; red: NOT genuine; grey: not checked.</p>\n<h2>The runs compared</h2>\n"
        "<table>\n<tr><th>Run</th><th>Started</th><th>Ended</th><th>Releases</th>"
        "<th>Arguments</th></tr>\n" +
        html_run(*report.old_run) + html_run(*report.new_run) + "</table>\n<h2>Counts</h2>\n<p>" +
        html_text(summary_text(report.old_run->id, report.new_run->id, counts)) +
        "</p>\n<h2>Releases</h2>\n<table id=\"releases\">\n<tr><th>Release</th><th>Change</th>"
        "<th>Verdict</th></tr>\n";
    for (const std::string &row : rows)
        html += row;
    return html + "</table>\n</body>\n</html>\n";
}

std::string html_row(const Row &row) {
    const std::string why = row.why.empty() ? "" : " (" + row.why + ")";
    return "<tr><td><code>" + html_text(row_name(row)) + "</code></td><td>" +
           html_text(change_name(row.change) + why) + "</td><td>" + html_text(row_verdict(row)) +
           "</td></tr>\n";
}

// What the command line asks for.
struct AuditOptions {
    std::string state_file, html_file;
    std::vector<std::int64_t> chosen;
    std::vector<std::string> excludes;
    bool list = false, force = false;
    AuditFormat format = AuditFormat::lines;
};

int read_audit_options(const std::vector<std::string> &args, AuditOptions &o) {
    enum {
        state_option = 256,
        run_option,
        runs_option,
        json_option,
        csv_option,
        html_option,
        force_option,
        exclude_option
    };
    std::string bad_run;
    std::vector<std::string> operands, formats;
    int status = parse_options(
        args,
        {{"state", state_option, "a file name"},
         {"run", run_option, "a run number"},
         {"runs", runs_option, nullptr},
         {"json", json_option, nullptr},
         {"csv", csv_option, nullptr},
         {"html", html_option, "a file name"},
         {"force", force_option, nullptr},
         {"exclude", exclude_option, "a pattern"}},
        audit_help,
        [&](int key, const char *value) {
            switch (key) {
            case state_option: o.state_file = value; break;
            case runs_option: o.list = true; break;
            case json_option: o.format = AuditFormat::json, formats.push_back("--json"); break;
            case csv_option: o.format = AuditFormat::csv, formats.push_back("--csv"); break;
            case html_option:
                o.format = AuditFormat::html, o.html_file = value, formats.push_back("--html");
                break;
            case force_option: o.force = true; break;
            case exclude_option: o.excludes.push_back(value); break;
            case run_option: {
                std::uint64_t n = 0;
                if (!parse_number(value, 1, INT64_MAX, n))
                    bad_run = std::string("'") + value + "'";
                o.chosen.push_back(static_cast<std::int64_t>(n));
                break;
            }
            }
        },
        operands);
    if (status >= 0)
        return status;
    if (o.state_file.empty())
        return usage_error("--state FILE is needed", audit_help);
    if (!operands.empty())
        return usage_error("audit takes no operand: " + operands[0], audit_help);
    if (!bad_run.empty())
        return usage_error("--run needs a run number, not " + bad_run, audit_help);
    if (!o.chosen.empty() && o.chosen.size() != 2)
        return usage_error("--run is given twice: the old run, then the new", audit_help);
    for (const std::string &f : formats)
        if (f != formats[0])
            return usage_error(formats[0] + " and " + f + " cannot be given together", audit_help);
    if (o.force && o.format != AuditFormat::html)
        return usage_error("--force goes with --html", audit_help);
    if (o.list && (o.format == AuditFormat::csv || o.format == AuditFormat::html))
        return usage_error("--runs takes only --json", audit_help);
    return -1;
}

// The two runs to compare, by default the last two finished ones; reports
// and returns false when they are not there.
bool chosen_runs(const AuditOptions &o, const std::vector<RunRow> &runs, const RunRow *pair[2]) {
    std::vector<std::int64_t> chosen = o.chosen;
    if (chosen.empty()) {
        for (const RunRow &run : runs)
            if (run.finished)
                chosen.push_back(run.id);
        if (chosen.size() < 2) {
            report(o.state_file, "fewer than two finished runs to compare");
            return false;
        }
        chosen.erase(chosen.begin(), chosen.end() - 2);
    }
    for (int i = 0; i < 2; ++i) {
        pair[i] = nullptr;
        for (const RunRow &run : runs)
            if (run.id == chosen[static_cast<std::size_t>(i)])
                pair[i] = &run;
        if (!pair[i]) {
            report(o.state_file, "no run " + std::to_string(chosen[static_cast<std::size_t>(i)]));
            return false;
        }
    }
    return true;
}

// Where the run looked, with its places as the comparison takes them.
bool looked_of(StateDb &state, const RunRow &run, bool by_spelling, Looked &looked,
               std::string &error) {
    looked.scope = run.scope;
    for (const std::string &operand : run.scope.operands)
        looked.operands.push_back(by_spelling ? spelled(run.scope, operand) : operand);
    RunCursor unchecked(state, run.id, by_spelling, true);
    Judgement j;
    while (unchecked.next(j))
        looked.unchecked.push_back(j);
    error = unchecked.error();
    return error.empty();
}

// What became of a release that only one of the runs holds.
Row one_sided(const Judgement *old, const Judgement *now, const Looked &old_looked,
              const Looked &new_looked) {
    Row row;
    row.old = old, row.now = now;
    if (now) {
        row.why = not_looked_at(old_looked, *now, "older");
        row.change = row.why.empty() ? Change::added : Change::left_out;
        if (!now->checked && row.change == Change::added)
            row.change = Change::not_seen, row.why = "";
        return row;
    }
    row.why = not_looked_at(new_looked, *old, "newer");
    if (!row.why.empty()) {
        row.change = Change::left_out;
    } else if (const Judgement *folder = unseen_under(new_looked, *old)) {
        row.change = Change::not_seen;
        row.why = escaped_name(folder->name) + ": " + folder->reason;
    } else {
        row.change = Change::missing;
    }
    return row;
}

// Both runs in the order of their places, side by side: counts every
// change and keeps the rows to print; nothing is printed until both were
// read whole. False, with the error reported, when a run cannot be read.
bool compare_runs(StateDb &state, const RunRow *const pair[2], bool by_spelling,
                  const AuditOptions &o, const std::array<const Looked *, 2> &looked,
                  Counts &counts, std::vector<std::string> &rows) {
    RunCursor old_run(state, pair[0]->id, by_spelling), new_run(state, pair[1]->id, by_spelling);
    Judgement old_j, new_j;
    bool has_old = old_run.next(old_j), has_new = new_run.next(new_j);
    if (o.format == AuditFormat::csv)
        rows.push_back("\"path\",\"change\",\"why\",\"old verdict\",\"new verdict\"\r\n");
    while (has_old || has_new) {
        const Judgement *old = nullptr, *now = nullptr;
        if (has_old && (!has_new || old_j.place <= new_j.place))
            old = &old_j;
        if (has_new && (!has_old || new_j.place <= old_j.place))
            now = &new_j;
        Row row = old && now ? Row{change_between(*old, *now), old, now, ""}
                             : one_sided(old, now, *looked[0], *looked[1]);
        if (!path_matches_any(o.excludes, (now ? *now : *old).relative)) {
            ++counts.of[static_cast<int>(row.change)];
            if (row.change == Change::left_out)
                ++counts.left_out[row.why];
            counts.failed = counts.failed || row.change == Change::missing ||
                            row.change == Change::not_seen ||
                            (row.change != Change::left_out && newly_not_genuine(old, now));
            if (row.change != Change::none)
                rows.push_back(o.format == AuditFormat::html ? html_row(row)
                                                             : row_text(row, o.format));
        }
        if (old)
            has_old = old_run.next(old_j);
        if (now)
            has_new = new_run.next(new_j);
    }
    const std::string error = !old_run.error().empty() ? old_run.error() : new_run.error();
    if (!error.empty())
        report_message("%s", error.c_str());
    return error.empty();
}

} // namespace

int cmd_audit(const std::vector<std::string> &args) {
    AuditOptions o;
    if (int status = read_audit_options(args, o); status >= 0)
        return status;
    StateDb state;
    std::string error;
    if (!state.open_for_reading(o.state_file, error)) {
        report_message("%s", error.c_str());
        return exit_trouble;
    }
    if (o.list)
        return list_runs(state, o.format == AuditFormat::json);
    std::vector<RunRow> runs = state.runs(error);
    const RunRow *pair[2];
    Report report = {};
    Looked old_looked, new_looked;
    if (error.empty() && !chosen_runs(o, runs, pair))
        return exit_trouble;
    // Runs recorded before scopes were are compared by the names as given.
    const bool by_spelling = error.empty() && (!pair[0]->scope.known || !pair[1]->scope.known);
    if (error.empty() && looked_of(state, *pair[0], by_spelling, old_looked, error))
        looked_of(state, *pair[1], by_spelling, new_looked, error);
    if (error.empty() && o.format == AuditFormat::html)
        report = {pair[0], pair[1], state.verdict_counts(error)};
    if (!error.empty()) {
        report_message("%s", error.c_str());
        return exit_trouble;
    }

    Counts counts;
    std::vector<std::string> rows;
    if (!compare_runs(state, pair, by_spelling, o, {&old_looked, &new_looked}, counts, rows))
        return exit_trouble;
    if (o.format == AuditFormat::html) {
        const std::string html = html_report(report, rows, counts);
        if (!write_file_safely(path_from_argument(o.html_file),
                               o.force ? Replace::allowed : Replace::never, Secrecy::normal,
                               [&](std::FILE *f) { return std::fputs(html.c_str(), f) >= 0; }))
            return exit_trouble;
    } else {
        // CSV ends its rows in CR LF itself: no text mode may add another CR.
        if (o.format == AuditFormat::csv)
            set_binary_mode(stdout);
        for (const std::string &row : rows)
            std::fputs(row.c_str(), stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            report_write_error();
            return exit_trouble;
        }
    }
    report_message("%s", summary_text(pair[0]->id, pair[1]->id, counts).c_str());
    return counts.failed ? exit_failed : exit_ok;
}

// qortool audit: what changed in an archive between two runs of
// `verify --state`, read from the state database alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "files.h"
#include "judgement.h"
#include "names.h"
#include "options.h"
#include "state.h"

const char audit_help[] =
    "usage: qortool audit --state FILE [--run OLD --run NEW] [--json]\n"
    "                     [--exclude PATTERN]...\n"
    "       qortool audit --state FILE --runs\n"
    "Compares two runs of verify --state recorded in FILE, by default the last\n"
    "two finished ones, and prints one line for each release that is new,\n"
    "missing, whose verdict changed (old -> new), or whose content changed\n"
    "under the same verdict (size, times or file identity):\n"
    "  PATH: new: VERDICT      PATH: verdict changed: OLD -> NEW\n"
    "  PATH: missing: VERDICT  PATH: content changed: VERDICT\n"
    "  --run N            a run to compare, by its number (see --runs)\n"
    "  --runs             list the runs: number, start, end, releases, arguments\n"
    "  --json             one JSON object per line per release\n"
    "  --exclude PATTERN  pass over the releases whose path below its PATH\n"
    "                     matches PATTERN, as verify does\n"
    "Exit status: 0 nothing missing or newly not genuine, 1 a release is\n"
    "missing or newly not genuine, 2 usage error, a database that cannot be\n"
    "read, or fewer than two runs.\n";

namespace {

enum class Change { none, added, missing, verdict, content };

const char *change_name(Change c) {
    switch (c) {
    case Change::added: return "new";
    case Change::missing: return "missing";
    case Change::verdict: return "verdict changed";
    case Change::content: return "content changed";
    case Change::none: break;
    }
    return "unchanged";
}

bool same_verdict(const Judgement &a, const Judgement &b) {
    return a.checked == b.checked && a.genuine == b.genuine && a.status == b.status &&
           a.reason == b.reason && a.key == b.key;
}

Change change_between(const Judgement *old, const Judgement *now) {
    if (!old)
        return Change::added;
    if (!now)
        return Change::missing;
    if (!same_verdict(*old, *now))
        return Change::verdict;
    // A release read in one run and taken over unchanged in the other has
    // the same stamp; one that could not be described is compared by size.
    if (old->stamp.known != now->stamp.known || old->size != now->size ||
        (old->stamp.known && !same_file_state(old->stamp, now->stamp)))
        return Change::content;
    return Change::none;
}

// The verdict as the --brief line shows it, with the key when it tells the
// two verdicts apart.
std::string shown_verdict(Judgement j, bool with_key) {
    j.read = true;
    j.several_keys = with_key;
    return verdict_text(j);
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

std::string change_line(Change change, const Judgement *old, const Judgement *now, bool json) {
    const Judgement &any = now ? *now : *old;
    if (json)
        return std::string("{")
            .append(json_path_members(any.name))
            .append(",\"change\":\"")
            .append(change_name(change))
            .append("\",\"old\":" + json_verdict(old) + ",\"new\":" + json_verdict(now) + "}\n");
    std::string line = escaped_name(any.name) + ": " + change_name(change) + ": ";
    if (change == Change::verdict) {
        const bool keys = !old->key.empty() && !now->key.empty() && old->key != now->key;
        return line + shown_verdict(*old, keys) + " -> " + shown_verdict(*now, keys) + "\n";
    }
    return line + shown_verdict(any, false) + "\n";
}

bool newly_not_genuine(const Judgement *old, const Judgement *now) {
    return now && !now->genuine && (!old || old->genuine);
}

int list_runs(StateDb &state, bool json) {
    std::string error;
    std::vector<RunRow> runs = state.runs(error);
    if (!error.empty()) {
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
        return exit_trouble;
    }
    for (const RunRow &run : runs) {
        const std::string ended = run.finished ? iso_date(run.ended) : "unfinished";
        if (json)
            std::printf("{\"run\":%lld,\"started\":%s,\"ended\":%s,\"releases\":%llu,"
                        "\"arguments\":%s}\n",
                        static_cast<long long>(run.id), json_string(iso_date(run.started)).c_str(),
                        run.finished ? json_string(ended).c_str() : "null",
                        static_cast<unsigned long long>(run.releases),
                        json_string(run.arguments).c_str());
        else
            std::printf("%lld %s %s %llu %s\n", static_cast<long long>(run.id),
                        iso_date(run.started).c_str(), ended.c_str(),
                        static_cast<unsigned long long>(run.releases), run.arguments.c_str());
    }
    return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
}

} // namespace

int cmd_audit(const std::vector<std::string> &args) {
    enum { state_option = 256, run_option, runs_option, json_option, exclude_option };
    std::string state_file, bad_run;
    std::vector<std::int64_t> chosen;
    std::vector<std::string> excludes, operands;
    bool list = false, json = false;
    int status = parse_options(
        args,
        {{"state", state_option, "a file name"},
         {"run", run_option, "a run number"},
         {"runs", runs_option, nullptr},
         {"json", json_option, nullptr},
         {"exclude", exclude_option, "a pattern"}},
        audit_help,
        [&](int key, const char *value) {
            switch (key) {
            case state_option: state_file = value; break;
            case runs_option: list = true; break;
            case json_option: json = true; break;
            case exclude_option: excludes.push_back(value); break;
            case run_option: {
                char *end = nullptr;
                long long n = std::strtoll(value, &end, 10);
                if (*value < '0' || *value > '9' || *end || n < 1)
                    bad_run = std::string("'") + value + "'";
                chosen.push_back(n);
                break;
            }
            }
        },
        operands);
    if (status >= 0)
        return status;
    if (state_file.empty())
        return usage_error("--state FILE is needed", audit_help);
    if (!operands.empty())
        return usage_error("audit takes no operand: " + operands[0], audit_help);
    if (!bad_run.empty())
        return usage_error("--run needs a run number, not " + bad_run, audit_help);
    if (!chosen.empty() && chosen.size() != 2)
        return usage_error("--run is given twice: the old run, then the new", audit_help);

    StateDb state;
    std::string error;
    if (!state.open_for_reading(state_file, error)) {
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
        return exit_trouble;
    }
    if (list)
        return list_runs(state, json);
    std::vector<RunRow> runs = state.runs(error);
    if (!error.empty()) {
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
        return exit_trouble;
    }
    if (chosen.empty()) {
        for (const RunRow &run : runs)
            if (run.finished)
                chosen.push_back(run.id);
        if (chosen.size() < 2) {
            report(state_file, "fewer than two finished runs to compare");
            return exit_trouble;
        }
        chosen.erase(chosen.begin(), chosen.end() - 2);
    }
    for (std::int64_t id : chosen) {
        bool known = false;
        for (const RunRow &run : runs)
            known = known || run.id == id;
        if (!known) {
            report(state_file, "no run " + std::to_string(id));
            return exit_trouble;
        }
    }

    // Both runs in the order of their paths, side by side.
    RunCursor old_run(state, chosen[0]), new_run(state, chosen[1]);
    Judgement old_j, new_j;
    bool has_old = old_run.next(old_j), has_new = new_run.next(new_j);
    std::uint64_t counts[5] = {};
    bool failed = false;
    while (has_old || has_new) {
        const Judgement *old = nullptr, *now = nullptr;
        if (has_old && (!has_new || old_j.name <= new_j.name))
            old = &old_j;
        if (has_new && (!has_old || new_j.name <= old_j.name))
            now = &new_j;
        const Change change = change_between(old, now);
        if (!path_matches_any(excludes, (now ? *now : *old).relative)) {
            ++counts[static_cast<int>(change)];
            failed = failed || change == Change::missing || newly_not_genuine(old, now);
            if (change != Change::none)
                std::fputs(change_line(change, old, now, json).c_str(), stdout);
        }
        if (old)
            has_old = old_run.next(old_j);
        if (now)
            has_new = new_run.next(new_j);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qortool: write error: %s\n", std::strerror(errno ? errno : EIO));
        return exit_trouble;
    }
    std::fprintf(
        stderr,
        "qortool: run %lld to run %lld: %llu new, %llu missing, %llu verdict changed, "
        "%llu content changed, %llu unchanged\n",
        static_cast<long long>(chosen[0]), static_cast<long long>(chosen[1]),
        static_cast<unsigned long long>(counts[1]), static_cast<unsigned long long>(counts[2]),
        static_cast<unsigned long long>(counts[3]), static_cast<unsigned long long>(counts[4]),
        static_cast<unsigned long long>(counts[0]));
    return failed ? exit_failed : exit_ok;
}

#include "judging.h"

#include <cstring>
#include <ctime>
#include <map>
#include <optional>

#include "files.h"
#include "names.h"
#include "verify.h"

// What a recorded verdict depends on besides the file: the keys and
// --strict.
std::string verdict_settings(const Settings &settings) {
    std::string text;
    for (const NamedKey &key : settings.keys)
        text += key.id + " ";
    return text + (settings.strict ? "strict" : "lenient");
}

namespace {

void collect_shown_text(void *dialog, int control_id, const char *text) {
    (*static_cast<std::map<int, std::string> *>(dialog))[control_id] = text;
}

// How a run opens the release's information file, and, for a state
// database, what it knows of the file it read: described from the stream
// that is read, when it is opened and again before it is closed.
struct Source {
    const Release *release;
    std::string file;        // the information file's name in a folder
    bool describe = false;   // with a state database
    FileIdentity read;       // the file as it was opened, before any read
    bool changed = false;    // another file, or changed, by the time it was closed
    bool read_whole = false; // the last open read it whole: described already
};

// The run's callbacks get the source back as they were given it.
Source &source_of(const void *context) {
    return *const_cast<Source *>(static_cast<const Source *>(context));
}

void describe_read(Source &source, const FileIdentity &now) {
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
        describe_read(source, release.folder ? described.opened : identity_of_stream(stream));
        source.read_whole = described.read_whole.known;
        if (source.read_whole)
            describe_read(source, described.read_whole);
    }
    return stream;
}

void closing_release(const void *context, std::FILE *stream) {
    if (Source &source = source_of(context); source.describe && !source.read_whole)
        describe_read(source, identity_of_stream(stream));
}

// The information file a release is checked by: the one its folder holds in
// any letter case, or qor.nfo, which the presence stage then misses.
std::string information_file(const Release &release) {
    return release.information_files.empty() ? info_file_name : release.information_files[0];
}

// The release's information file as the file system describes it now, by
// its name, to compare with a recorded judgement; not known for an entry
// that cannot be checked or an ambiguous folder.
FileIdentity identity_by_name(const Release &release) {
    if (!release.not_checked.empty() || release.information_files.size() > 1)
        return {};
    return release.folder ? identity_of_file_in(release.folder, information_file(release))
                          : identity_of_path(release.path);
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
        j.passed =
            run_verification({collect_shown_text, &shown}, {open_release, &source, closing_release},
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
    j.identity = source.read;
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
            j.identity = {};
            j.reason = "its information file changed while it was read, " +
                       std::to_string(attempts) + " times";
            return j;
        }
    }
}

// A release as the state database has it, when that will do: judged
// already in the run being resumed, or, with --incremental, unchanged since
// it was last read under the same keys.
std::optional<Judgement> recorded_verdict(const Release &release, const Settings &settings,
                                          const std::string &place, const FileIdentity &now) {
    // A release that changed since the run was cut off is read again.
    if (settings.resume)
        if (std::optional<Judgement> j = settings.state->in_this_run(place);
            j && same_file_state(j->identity, now)) {
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
    if (due || !same_file_state(last->identity, now))
        return std::nullopt;
    last->was_read = false;
    last->name = release.name;
    last->relative = release.relative;
    last->place = place;
    last->several_keys = settings.keys.size() > 1;
    return last;
}

} // namespace

// Only a state database needs a release's place, and only where a
// recorded judgement may be taken over is the file described by name.
Judgement judge_entry(const Release &release, const Settings &settings,
                      std::atomic<std::uint64_t> &scanned) {
    if (!settings.state)
        return judge(release, settings, scanned);
    const std::string place = place_of(settings.scope.folder, release.name);
    if (settings.incremental || settings.resume)
        if (std::optional<Judgement> j =
                recorded_verdict(release, settings, place, identity_by_name(release)))
            return *j;
    Judgement j = judge(release, settings, scanned);
    j.place = place;
    return j;
}

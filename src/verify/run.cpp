// The verification run: five stages on the information file, each shown on
// its status line, then the verdict.
#include <cstring>

#include "verify.h"

namespace {

// The five status line buffers of one run, each set up from its stage text.
struct Run {
    const Display &display;
    char lines[5][status_line_size];
};

void show(const Run &run, int stage) {
    run.display.set_control_text(run.display.dialog, status_lines[stage].control_id,
                                 run.lines[stage]);
}

// Appends the result word to the stage's line and shows it.
bool finish(Run &run, int stage, bool passed) {
    char *line = run.lines[stage];
    std::strncat(line, passed ? passed_word : failed_word,
                 status_line_size - 1 - std::strlen(line));
    show(run, stage);
    return passed;
}

bool run_stages(const Display &display, std::FILE *&stream, const InfoFileSource &source,
                RunReport &report, const KeyMaterial &key) {
    Run run = {display, {}};
    for (int stage = 0; stage < 5; ++stage)
        std::strncpy(run.lines[stage], status_lines[stage].stage_text, status_line_size - 1);
    // Two zero bytes past the 43 read keep the window a terminated text.
    std::uint8_t marker_window[marker_length + 2] = {};
    std::uint8_t code[code_length + 1] = {};

    report.stage = 1;
    show(run, 0);
    stream = source.open(source.context, &report.reason);
    if (!finish(run, 0, stream != nullptr))
        return false;

    report.stage = 2;
    show(run, 1);
    std::uint64_t &size = report.size;
    bool measured = measure_file(stream, &size);
    if (!finish(run, 1, measured && size >= size_floor))
        return false;

    report.stage = 3;
    read_from_end(stream, marker_offset_from_end, marker_window, marker_length);
    show(run, 2);
    bool marker_found =
        std::strcmp(reinterpret_cast<const char *>(marker_window), marker_text) == 0;
    if (!finish(run, 2, marker_found))
        return false;

    report.stage = 4;
    read_from_end(stream, code_offset_from_end, code, code_length);
    show(run, 3);
    if (!finish(run, 3, check_code_symbols(code)))
        return false;

    report.stage = 5;
    show(run, 4);
    CheckValue check = content_check_value(stream, &report.covered, {size, report.progress}, key);
    return finish(run, 4, code_matches(code, check));
}

std::FILE *open_path(const void *path, const char **why) {
    return open_regular_file(*static_cast<const std::filesystem::path *>(path), why);
}

} // namespace

bool run_verification(const Display &display, const InfoFileSource &source, RunReport *report,
                      const KeyMaterial &key) {
    RunReport own = {};
    RunReport &r = report ? *report : own;
    r = {0, nullptr, 0, 0, r.progress};
    std::FILE *stream = nullptr;
    bool genuine = run_stages(display, stream, source, r, key);
    // Closed at once, so that the release can be renamed or deleted while
    // the verdict is shown.
    if (stream && source.closing)
        source.closing(source.context, stream);
    if (stream)
        std::fclose(stream);
    const Verdict &verdict = genuine ? passed_verdict : failed_verdict;
    display.set_control_text(display.dialog, verdict_control, verdict.line);
    display.set_control_text(display.dialog, verdict_detail_control, verdict.detail);
    display.set_control_text(display.dialog, button_control, verdict.button);
    return genuine;
}

bool run_verification(const Display &display, const std::filesystem::path &path, RunReport *report,
                      const KeyMaterial &key) {
    return run_verification(display, {open_path, &path}, report, key);
}

// The verification run: five stages on the information file, each shown
// on its status line, then the verdict. Its texts go through the Display
// its caller hands in.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "code.h"
#include "format.h"
#include "info_file.h"

// The controls of dialog template 1 that the run writes, by their numbers:
// the five status lines below, the two verdict lines and the push button.
constexpr int verdict_control = 107;
constexpr int verdict_detail_control = 112;
constexpr int button_control = 111;

// A progress line of the dialog: its control and fixed stage text.
struct StatusLine {
    int control_id;
    const char *stage_text;
};

// The texts below are the product's own, exactly as users know them: the
// spelling "Thankyou", the name "QOR.NFO" and every blank and full stop are
// given, not slips to correct. A test holds each of them byte for byte.
//
// Stage 5 writes 108, not 106: 106 is the frame around the five lines.
constexpr StatusLine status_lines[5] = {
    {102, "Checking for presence of QOR.NFO... "},
    {103, "Checking length of QOR.NFO... "},
    {104, "Searching for QOR marker... "},
    {105, "Retrieving QOR authentication information... "},
    {108, "Verifying QOR authentication information... "},
};
constexpr std::size_t status_line_size = 60;

constexpr const char passed_word[] = "passed.";
constexpr const char failed_word[] = "failed.";

struct Verdict {
    const char *line;
    const char *detail;
    const char *button;
};

constexpr Verdict passed_verdict = {"This is a certified genuine QOR release.",
                                    "Thankyou for supporting QOR!", "Sweet!"};
constexpr Verdict failed_verdict = {"This is NOT a certified genuine QOR release.",
                                    "Please report this release to Quenvaris!", "Damn!"};

// Where the run's texts go. set_control_text must copy the text: the run goes
// on appending to its buffers after showing them.
struct Display {
    void (*set_control_text)(void *dialog, int control_id, const char *text);
    void *dialog;
};

// What a run found besides the texts it showed.
struct RunReport {
    int stage;                            // the stage that ended the run, 1 to 5
    const char *reason;                   // why the presence stage failed, in plain words
    std::uint64_t size;                   // the size the length stage measured
    std::uint64_t covered;                // the bytes the scan mixed, which the code covers
    std::atomic<std::uint64_t> *progress; // in: counts the bytes scanned
};

// How a run opens the information file: `open` returns the stream, or null
// with the reason in `why`. The presence stage is this call. `closing`, when
// given, sees the stream once more after the last read, before it is closed.
struct InfoFileSource {
    std::FILE *(*open)(const void *context, const char **why);
    const void *context;
    void (*closing)(const void *context, std::FILE *stream) = nullptr;
};

// The five stages on the information file that `source` opens, each
// reported on its status line, then the verdict. Returns true for a genuine
// release; fills `report` when given. The scan reads no further than the
// measured size, so a file that grows meanwhile still ends in a verdict.
bool run_verification(const Display &display, const InfoFileSource &source,
                      RunReport *report = nullptr, const KeyMaterial &key = build_key);

// The same on the information file at `path`.
bool run_verification(const Display &display, const std::filesystem::path &path = info_file_name,
                      RunReport *report = nullptr, const KeyMaterial &key = build_key);

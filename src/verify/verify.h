// Release verification: the five-stage check of a release's information
// file, and the pure computations that decide its last stage.
//
// Nothing here depends on a window system; the run writes its texts through
// the Display that its caller hands in.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "format.h"
#include "scan.h"

// ---- Digest ----

struct Digest {
    std::uint32_t a, b, c, d;
};

using CheckValue = std::array<std::uint8_t, 10>;

constexpr std::uint32_t filler_word = 0x12345678;

// One MD5-structured compression of a 16-word block under the given step
// constants.
Digest compress_block(Digest chaining, const std::uint32_t block[16],
                      const std::uint32_t steps[64]);

// The sums and the filler word, compressed once from the chaining start words.
Digest compute_digest(const ContentSums &sums, const KeyMaterial &key = build_key);

// Digest bytes D0..D15 (A first, each word least significant byte first)
// folded to C0..C9.
CheckValue fold_digest(const Digest &digest);

// RFC 1321's MD5 of a whole message: the same compression under MD5's own
// step constants and start words, over the padded message.
std::array<std::uint8_t, 16> md5(const std::uint8_t *message, std::size_t length);

// ---- Authentication code ----

// The 32 code symbols in ascending order: a symbol's index is its value.
constexpr const char code_symbols[] = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";

bool is_code_symbol(std::uint8_t c); // the digits 2 to 9, A to Z but I and O
bool check_code_symbols(const std::uint8_t code[code_length]);
unsigned symbol_value(std::uint8_t symbol); // a code symbol's value, 0 to 31
CheckValue pack_code(const std::uint8_t code[code_length]);
bool code_matches(const std::uint8_t code[code_length], const CheckValue &check);

// The one code that packs to `check`: what an issuer writes into the trailer.
void encode_code(const CheckValue &check, std::uint8_t code[code_length]);

// Rewinds the stream, scans it and folds its digest: the value that the code
// of this file must pack to. `summed` receives the number of bytes mixed.
CheckValue content_check_value(std::FILE *stream, std::uint64_t *summed,
                               const ScanBounds &bounds = {}, const KeyMaterial &key = build_key);

// ---- Reading the information file ----

// Which entry of a release folder is its information file: one, file or
// folder, named qor.nfo in any ASCII letter case. A folder with none fails
// the presence stage; with one that is a folder, too (it cannot be read);
// with more than one, the release is refused as ambiguous, since which of
// them a user's system shows depends on the system. qortool and the web
// page both decide by this.
bool is_information_file_name(const std::string &name);

// Opens a regular file for binary reading, following symlinks. A folder,
// device or pipe yields null, without blocking. On failure `why`, when
// given, receives the reason in plain words.
std::FILE *open_regular_file(const std::filesystem::path &path, const char **why = nullptr);
#ifndef _WIN32
// The same for `name` in the folder open as descriptor `folder`, so that a
// file is reached however long the path to its folder is.
std::FILE *open_regular_file_at(int folder, const char *name, const char **why = nullptr);
struct stat;
// Its first half: the file's descriptor, described in `st`, or -1 with the
// reason in `why`; for a caller that reads the file its own way.
int open_regular_descriptor_at(int folder, const char *name, struct stat *st,
                               const char **why = nullptr);
#endif

// fseek with a 64-bit offset on every platform; 0 on success.
int seek_stream(std::FILE *stream, std::int64_t offset, int origin);

// The file's size through a seek to its end, 64-bit on every platform.
// Returns false when the size cannot be measured.
bool measure_file(std::FILE *stream, std::uint64_t *size);

// Seeks `offset` bytes before the end and reads `length` bytes into `buffer`;
// bytes a short read leaves are untouched.
void read_from_end(std::FILE *stream, std::size_t offset, std::uint8_t *buffer, std::size_t length);

// ---- The verification run ----

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

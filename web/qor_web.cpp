// The certificator's check for a web page: the same verification run as
// qorcert.exe, on a file that the page's worker reads in order through a
// stream. The run reads through a C stream whose reads and seeks go to the
// page (qor_read), so the scan sees exactly the reads of 1024 bytes it sees
// natively, and memory stays the same whatever the file's size.
#include <emscripten.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "key_file.h"
#include "verify.h"
#include "version_stamp.h"

// Reads up to `length` bytes at `offset` of the file into `buffer`; returns
// how many it read. The worker reads from a stream of the file, and the run
// waits for it (Asyncify unwinds and resumes the run around the read).
EM_ASYNC_JS(int, qor_read, (double offset, char *buffer, int length),
            { return await Module.readSlice(offset, buffer, length); });

namespace {

// The file the page hands in: its size, and where the stream stands.
struct PageFile {
    double size;
    off_t position;
};

ssize_t read_page(void *cookie, char *buffer, size_t length) {
    PageFile &file = *static_cast<PageFile *>(cookie);
    int n = qor_read(static_cast<double>(file.position), buffer, static_cast<int>(length));
    if (n < 0) {
        errno = EIO;
        return -1;
    }
    file.position += n;
    return n;
}

int seek_page(void *cookie, off_t *offset, int whence) {
    PageFile &file = *static_cast<PageFile *>(cookie);
    off_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? file.position
                                      : static_cast<off_t>(file.size);
    if (base + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    *offset = file.position = base + *offset;
    return 0;
}

int close_page(void *) { return 0; }

PageFile page_file;
bool page_has_file;

std::FILE *open_page_file(const void *, const char **why) {
    if (!page_has_file) {
        *why = std::strerror(ENOENT);
        return nullptr;
    }
    page_file.position = 0;
    cookie_io_functions_t io = {nullptr, nullptr, nullptr, nullptr};
    io.read = read_page;
    io.seek = seek_page;
    io.close = close_page;
    std::FILE *stream = fopencookie(&page_file, "rb", io);
    // Large slices: each read of the page costs a call into the browser.
    static char buffer[1 << 20];
    if (stream)
        setvbuf(stream, buffer, _IOFBF, sizeof buffer);
    return stream;
}

// The texts of the last run, by control; a run sets each afresh.
std::map<int, std::string> shown;

void record(void *, int control_id, const char *text) { shown[control_id] = text; }

} // namespace

extern "C" {

// Runs the five stages on the page's file, `size` bytes long (a double:
// exact to 2^53, where size_t and long are 32 bits), or on no file at all.
// Returns 1 for a genuine release.
EMSCRIPTEN_KEEPALIVE int qor_run(int has_file, double size) {
    shown.clear();
    page_has_file = has_file != 0;
    page_file = {size, 0};
    return run_verification({record, nullptr}, {open_page_file, nullptr}) ? 1 : 0;
}

// Refuses a release without running a stage (a folder with two information
// files): the failed verdict alone.
EMSCRIPTEN_KEEPALIVE void qor_refuse() {
    shown.clear();
    shown[verdict_control] = failed_verdict.line;
    shown[verdict_detail_control] = failed_verdict.detail;
    shown[button_control] = failed_verdict.button;
}

static const char *text_of(int control_id) {
    auto found = shown.find(control_id);
    return found == shown.end() ? "" : found->second.c_str();
}

// Stage `stage`'s status line (0 to 4) as the last run left it, "" when the
// run never reached it.
EMSCRIPTEN_KEEPALIVE const char *qor_status_line(int stage) {
    return stage >= 0 && stage < 5 ? text_of(status_lines[stage].control_id) : "";
}

// The verdict's line (0), its second line (1) and the push button's
// caption (2).
EMSCRIPTEN_KEEPALIVE const char *qor_verdict(int which) {
    const int controls[] = {verdict_control, verdict_detail_control, button_control};
    return which >= 0 && which < 3 ? text_of(controls[which]) : "";
}

// A name of a release folder's entry, as UTF-8, for
// qor_is_information_file_name: the page writes it here.
static char entry_name[256];

EMSCRIPTEN_KEEPALIVE char *qor_name_buffer() { return entry_name; }

// Whether the name in the buffer is an information file's, by the rule
// qortool follows (see is_information_file_name).
EMSCRIPTEN_KEEPALIVE int qor_is_information_file_name() {
    entry_name[sizeof entry_name - 1] = 0;
    return is_information_file_name(entry_name) ? 1 : 0;
}

// The dialog's title with the version this page was built with.
EMSCRIPTEN_KEEPALIVE const char *qor_title() {
    static const std::string title = std::string(base_title) + " " + QOR_VERSION;
    return title.c_str();
}

// The id of the key the page was built with.
EMSCRIPTEN_KEEPALIVE const char *qor_key_id() {
    static const std::string id = key_id(build_key);
    return id.c_str();
}
}

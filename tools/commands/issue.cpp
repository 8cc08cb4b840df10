// qortool issue: writes an information file that carries the code for its
// content. May include the library (lib/) and the core.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "files.h"
#include "issue.h"
#include "keys.h"
#include "shared_options.h"
#include "verify.h"

namespace fs = std::filesystem;

const char issue_help[] =
    "usage: qortool issue [--reissue] [--force] [--key FILE] BODY -o OUT\n"
    "Writes OUT: the content read from BODY ('-' for standard input), then the\n"
    "trailer with the authentication code for that content. Pads the content\n"
    "with blanks where verification needs it.\n"
    "  -o, --output OUT  the information file to write ('-' for standard\n"
    "                    output)\n"
    "  --force           replace OUT if it exists\n"
    "  --reissue         BODY may end in a trailer (an issued or edited\n"
    "                    information file): that trailer is replaced\n"
    "  --key FILE        issue under the key in FILE\n"
    "Exit status: 0 OUT written, 1 nothing written (BODY unreadable, a\n"
    "marker in the content, OUT exists, a failed write), 2 usage error or a\n"
    "key file that cannot be read.\n";

namespace {

// What is wrong with the end of a body that looks like a trailer edited by
// hand or by a tool (line ends turned to LF, the code typed in lower case):
// the marker text among its last bytes, but no trailer. Empty when there is
// no such end. `file` holds the body's `length` bytes.
std::string edited_trailer(std::FILE *file, std::uint64_t length) {
    std::uint8_t tail[trailer_length + 8] = {};
    std::uint64_t start = length > sizeof tail ? length - sizeof tail : 0;
    std::size_t n = static_cast<std::size_t>(length - start);
    seek_stream(file, static_cast<std::int64_t>(start), SEEK_SET);
    if (std::fread(tail, 1, n, file) != n)
        return "";
    std::size_t at = std::string_view(reinterpret_cast<const char *>(tail), n).find(marker_text);
    if (at == std::string_view::npos)
        return "";
    const std::uint8_t *marker = tail + at;
    std::size_t after = n - at;
    if (after != trailer_length)
        return "its trailer is " + std::to_string(after) + " bytes long, not " +
               std::to_string(trailer_length) + " (were its line ends changed?)";
    const std::uint8_t *code = marker + marker_length;
    const std::uint8_t *bad = std::find_if_not(code, code + code_length, is_code_symbol);
    if (bad != code + code_length)
        return std::string("its code holds '") + static_cast<char>(*bad) +
               "', which is not a code symbol (2 to 9, A to Z but I and O)";
    return "";
}

bool write_information_file(std::FILE *body, const std::string &body_name, std::FILE *out,
                            bool reissue, const KeyMaterial &key) {
    IssuedFile issued = issue_information_file(body, out, reissue, key);
    if (issued.write_failed)
        return false; // reported with the name of the file being written
    if (issued.read_failed) {
        report(body_name, "read failed", std::strerror(errno));
        return false;
    }
    std::string edited = issued.reissued ? "" : edited_trailer(out, issued.length);
    if (reissue && !edited.empty()) {
        report(body_name, "no trailer to replace: " + edited);
        return false;
    }
    if (issued.stop != issued.padded) {
        std::string advice = !edited.empty()                      ? edited
                             : issued.ends_in_trailer && !reissue ? "it ends in a trailer, which "
                                                                    "--reissue replaces"
                                                                  : "remove it";
        report(body_name, "the content holds the marker text at offset " +
                              std::to_string(issued.stop) + ", where verification would stop; " +
                              advice);
        return false;
    }
    if (issued.padded != issued.length)
        report(body_name, "padded the content with " +
                              std::to_string(issued.padded - issued.length) + " blanks (" +
                              (issued.length + trailer_length < size_floor
                                   ? "an information file holds at least 6000 bytes"
                                   : "so that the marker does not cross a 1024-byte boundary") +
                              ")");
    return true;
}

// Issues into a temporary file, which issuing reads back, then copies it to
// standard output.
bool issue_to_standard_output(std::FILE *body, const std::string &body_name, bool reissue,
                              const KeyMaterial &key) {
    File temp(std::tmpfile());
    if (!temp) {
        report("standard output", "cannot create a temporary file", std::strerror(errno));
        return false;
    }
    if (!write_information_file(body, body_name, temp.get(), reissue, key))
        return false;
    set_binary_mode(stdout);
    seek_stream(temp.get(), 0, SEEK_SET);
    copy_stream(temp.get(), stdout);
    if (std::ferror(temp.get()) || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        report_write_error();
        return false;
    }
    return true;
}

} // namespace

int cmd_issue(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_command(
            args, {output_option, force_option, key_option, {"reissue", reissue_flag, nullptr}},
            issue_help, options);
        status >= 0)
        return status;
    if (options.operands.size() != 1 || options.out.empty())
        return usage_error("issue needs one BODY and -o OUT", issue_help);
    if (options.key_file == "-" && options.operands[0] == "-")
        return usage_error("--key - and BODY - cannot both be standard input", issue_help);
    KeyMaterial key;
    if (!chosen_key(options.key_file, key))
        return exit_trouble;
    const std::string &operand = options.operands[0];
    std::string body_name = operand == "-" ? "standard input" : operand;

    File body;
    if (operand == "-") {
        set_binary_mode(stdin);
        body.reset(stdin);
    } else if (body.reset(open_file(path_from_argument(operand), "rb")); !body) {
        report(body_name, "cannot open", std::strerror(errno));
        return exit_failed;
    }
    if (options.out == "-")
        return issue_to_standard_output(body.get(), body_name, options.reissue, key) ? exit_ok
                                                                                     : exit_failed;
    Replace replace = options.force ? Replace::allowed : Replace::never;
    bool ok = write_file_safely(
        path_from_argument(options.out), replace, Secrecy::normal, [&](std::FILE *out) {
            bool written = write_information_file(body.get(), body_name, out, options.reissue, key);
            // The body is read to its end before OUT is replaced, and closed,
            // so that it may be OUT itself (Windows replaces no open file).
            body.reset();
            return written;
        });
    return ok ? exit_ok : exit_failed;
}

// qortool: the publishing group's companion to the certificator.
//
//   verify  checks releases exactly as the dialog does and prints its texts
//   audit   tells what changed between two runs of verify --state
//   issue   writes an information file that carries the code for its content
//   stamp   writes the version stamp at the end of a certificator executable
//   keygen  writes fresh key material
//
// Exit status: 0 success, 1 a release not genuine or a failed operation,
// 2 a usage error.
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
#include "key_file.h"
#include "mix.h"
#include "options.h"
#include "verify.h"
#include "version_stamp.h"

namespace fs = std::filesystem;

namespace {

const char usage_text[] =
    "Usage: qortool verify [OPTION]... [PATH]...\n"
    "  or:  qortool audit --state FILE [--run OLD --run NEW] [--json] | --runs\n"
    "  or:  qortool issue [--reissue] [--force] [--key FILE] BODY -o OUT\n"
    "  or:  qortool stamp [--force] [--key FILE] EXE VERSION [SECOND]\n"
    "  or:  qortool stamp --show [--key FILE] EXE\n"
    "  or:  qortool keygen [-o FILE] [--force]\n"
    "  or:  qortool keyid [--key FILE]\n"
    "  or:  qortool --version | --help | -h\n"
    "Checks, issues and stamps releases of the QOR group. Every command takes\n"
    "--help. Without --key, the key is the one this qortool was built with.\n";

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

const char stamp_help[] =
    "usage: qortool stamp [--force] [--key FILE] EXE VERSION [SECOND]\n"
    "       qortool stamp --show [--key FILE] EXE\n"
    "Writes the version stamp at the end of the certificator executable EXE,\n"
    "replacing a stamp of the same key. The certificator shows VERSION (at\n"
    "most 29 characters) in its title; SECOND (at most 10) is kept but not\n"
    "shown. Both are given in UTF-8 and stored in Windows-1252. EXE keeps its\n"
    "mode and owner; a symlink is followed to the file it names. Stamp before\n"
    "signing: a signed EXE is refused, as a stamp would break its signature;\n"
    "the stamp of a signed EXE is read in front of its signature.\n"
    "  --show      print the version and second text of EXE's stamp\n"
    "  --force     stamp a file that is not a Windows executable, that is\n"
    "              damaged (headers that point past its end), that holds\n"
    "              other data after its last section (a stamp of another\n"
    "              key), or that is signed (its signature is removed, so\n"
    "              that it can be signed again)\n"
    "  --key FILE  stamp or read under the key in FILE\n"
    "Exit status: 0 EXE stamped (or its stamp shown), 1 EXE left as it was\n"
    "(refused, unreadable, no stamp of the key to show, a failed write), 2\n"
    "usage error, a text the title cannot show, or a key file that cannot\n"
    "be read.\n";

const char keygen_help[] = "usage: qortool keygen [-o FILE] [--force]\n"
                           "Writes fresh random key material in the key file format to FILE (mode\n"
                           "0600), or to standard output, and its key id to standard error. Build\n"
                           "with it through -DQOR_KEY_FILE=FILE, or give it to --key.\n"
                           "  -o, --output FILE  the key file to write ('-' for standard output)\n"
                           "  --force            replace FILE if it exists\n"
                           "Exit status: 0 key written, 1 nothing written (FILE exists, no\n"
                           "random bytes, a failed write), 2 usage error.\n";

const char keyid_help[] = "usage: qortool keyid [--key FILE]\n"
                          "Prints the short id of the key in FILE, or of this qortool's key.\n"
                          "  --key FILE  the key file\n"
                          "Exit status: 0 id printed, 2 usage error, a key file that cannot\n"
                          "be read, or output that cannot be written.\n";

// The key file's format, for the full help and the man page.
const char key_file_help[] =
    "A key file is text: '#' lines and blank lines are ignored; every other\n"
    "line is a field name and its values, all hexadecimal with 0x:\n"
    "sum_starts (13 words), acc13_constant (1), chaining (4), steps (64),\n"
    "stamp_signature (5 bytes, none zero), stamp_addend and stamp_mask (1\n"
    "byte each). A UTF-8 byte-order mark at its start is allowed; a file\n"
    "larger than 64 KiB is refused. Keep a group's key file secret, mode\n"
    "0600, out of every repository: it makes codes as well as checks them.\n"
    "--key also reads a key from a pipe, a socket or an inherited descriptor\n"
    "(--key /dev/fd/3, --key <(...), a named FIFO), and --key - from standard\n"
    "input, so that a release script's secret need never be written to disk.\n";

// What issue, stamp, keygen and keyid take besides their operands.
struct Options {
    std::string out;
    bool force = false, reissue = false, show = false;
    std::string key_file;
    std::vector<std::string> operands;
};

enum Flag { force_flag = 256, reissue_flag, show_flag, key_flag };

// Parses the options in `accepted`; returns -1 to go on, or the exit status.
int parse_command(const std::vector<std::string> &args, const std::vector<CommandOption> &accepted,
                  const char *help, Options &options) {
    return parse_options(
        args, accepted, help,
        [&](int flag, const char *value) {
            switch (flag) {
            case 'o': options.out = value; break;
            case force_flag: options.force = true; break;
            case reissue_flag: options.reissue = true; break;
            case show_flag: options.show = true; break;
            case key_flag: options.key_file = value; break;
            }
        },
        options.operands);
}

const CommandOption output_option = {"output", 'o', "a file name"};
const CommandOption force_option = {"force", force_flag, nullptr};
const CommandOption key_option = {"key", key_flag, "a file name"};

// The key in the file given with --key, or the build's.
bool chosen_key(const std::string &key_file, KeyMaterial &key) {
    if (key_file.empty()) {
        key = build_key;
        return true;
    }
    return load_key_file(key_file, key);
}

// ---- issue ----

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
        report("standard output", "write error", std::strerror(errno ? errno : EIO));
        return false;
    }
    return true;
}

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

// ---- stamp ----

// Opens EXE, or reports why it cannot `what`.
File open_executable(const std::string &exe, const fs::path &path, const char *what) {
    const char *why = nullptr;
    File f(open_regular_file(path, &why));
    if (!f)
        report(exe, what, why);
    return f;
}

// Prints the stamp of EXE under the key, or says there is none.
int show_stamp(const std::string &exe, const KeyMaterial &key) {
    File f = open_executable(exe, path_from_argument(exe), "cannot open");
    if (!f)
        return exit_failed;
    VersionStamp stamp = read_version_stamp(f.get(), key);
    if (!stamp.present) {
        report(exe, "no stamp of this key");
        return exit_failed;
    }
    std::printf("version: %s\n", utf8_from_windows_1252(stamp.version).c_str());
    if (stamp.second[0])
        std::printf("second: %s\n", utf8_from_windows_1252(stamp.second).c_str());
    return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
}

// The stamp's two texts in Windows-1252, within their fields; reports and
// returns false otherwise.
bool stamp_texts(const std::vector<std::string> &operands, std::string &version,
                 std::string &second) {
    std::string refused;
    for (std::size_t i = 1; i < operands.size(); ++i) {
        const char *which = i == 1 ? "version" : "second";
        if (!windows_1252_from_utf8(operands[i], i == 1 ? version : second, refused)) {
            std::fprintf(stderr,
                         "qortool: the %s text holds '%s', which the certificator's title "
                         "(Windows-1252) cannot show\n",
                         which, refused.c_str());
            return false;
        }
    }
    if (version.size() > version_field - 1 || second.size() > second_field - 1) {
        std::fprintf(stderr,
                     "qortool: the version text holds at most %zu characters and the second "
                     "text at most %zu\n",
                     version_field - 1, second_field - 1);
        return false;
    }
    return true;
}

// What of EXE is kept before the new stamp: everything but a stamp of this
// key. Refuses, unless forced, a file that is no Windows executable, one
// whose headers point past its end, one that is signed (a new stamp would
// break the signature), and one with other data after its last section.
// Forced, a signature is removed: `unsign` is then its directory entry's
// offset, which is written as zeros, so that the file can be signed again.
bool bytes_to_keep(std::FILE *in, const std::string &exe, bool force, const KeyMaterial &key,
                   std::uint64_t &keep, std::uint64_t &unsign) {
    std::uint64_t size = 0;
    if (!measure_file(in, &size)) {
        report(exe, "cannot stamp", std::strerror(errno));
        return false;
    }
    ExecutableImage image = read_executable_image(in, size);
    const bool signed_file = image.found && image.certificate.length;
    const std::uint64_t end = stamp_end(in, size, key);
    keep = read_version_stamp(in, key).present ? end - stamp_length : end;
    unsign = 0;
    if (signed_file && force) {
        unsign = image.certificate.entry;
        report(exe, "its signature is removed with the old stamp; sign it again after stamping");
        return true;
    }
    if (force)
        return true;
    if (!image.found)
        report(exe, "not a Windows executable (no MZ header or no PE signature); --force stamps "
                    "it all the same");
    else if (image.damage)
        report(exe, std::string("damaged: ") + image.damage + "; --force stamps it all the same");
    else if (signed_file)
        report(exe, "signed: a stamp after the signature would break it, so stamp before "
                    "signing; --force removes the signature and stamps it");
    else if (keep > image.end)
        report(exe, "holds " + std::to_string(keep - image.end) +
                        " bytes after its last section (a stamp of another key, a signature or "
                        "other data); --force appends the stamp after them");
    return image.found && !image.damage && !signed_file && keep <= image.end;
}

int cmd_stamp(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_command(args, {force_option, key_option, {"show", show_flag, nullptr}},
                                   stamp_help, options);
        status >= 0)
        return status;
    KeyMaterial key;
    if (!chosen_key(options.key_file, key))
        return exit_trouble;
    const std::vector<std::string> &operands = options.operands;
    if (options.show) {
        if (operands.size() != 1)
            return usage_error("stamp --show needs one EXE", stamp_help);
        return show_stamp(operands[0], key);
    }
    if (operands.size() < 2 || operands.size() > 3)
        return usage_error("stamp needs EXE and VERSION, and takes at most SECOND", stamp_help);
    const std::string &exe = operands[0];
    std::string version, second;
    if (!stamp_texts(operands, version, second))
        return exit_trouble;
    // A link is followed: the file it names is stamped in its own folder,
    // and the link keeps naming it.
    std::error_code ec;
    fs::path given = path_from_argument(exe);
    fs::path target = fs::is_symlink(given, ec) ? fs::canonical(given, ec) : given;
    if (ec) {
        report(exe, "cannot stamp", ec.message().c_str());
        return exit_failed;
    }
    File in = open_executable(exe, target, "cannot stamp");
    std::uint64_t keep = 0, unsign = 0;
    if (!in || !bytes_to_keep(in.get(), exe, options.force, key, keep, unsign))
        return exit_failed;
    seek_stream(in.get(), 0, SEEK_SET);
    bool ok = write_file_safely(target, Replace::allowed, Secrecy::normal, [&](std::FILE *out) {
        // A signature's directory entry is written as zeros in passing.
        const std::uint8_t no_entry[pe::directory_entry_length] = {};
        const std::uint64_t before = unsign ? unsign : keep;
        bool read = copy_stream(in.get(), out, before) == before;
        if (read && unsign) {
            std::fwrite(no_entry, 1, sizeof no_entry, out);
            const std::uint64_t rest = keep - unsign - sizeof no_entry;
            read = seek_stream(in.get(), static_cast<std::int64_t>(unsign + sizeof no_entry),
                               SEEK_SET) == 0 &&
                   copy_stream(in.get(), out, rest) == rest;
        }
        read = read || std::ferror(out);
        // Windows cannot replace a file that is still open.
        in.reset();
        if (!read) {
            report(exe, "read failed");
            return false;
        }
        std::uint8_t stamp[stamp_length];
        make_version_stamp(version.c_str(), second.c_str(), stamp, key);
        std::fwrite(stamp, 1, stamp_length, out);
        return true;
    });
    return ok ? exit_ok : exit_failed;
}

// ---- keygen ----

// Fresh key material, every byte from the operating system's generator.
bool random_key(KeyMaterial &key) {
    std::uint32_t words[(sizeof key.sum_starts + sizeof key.acc13_constant + sizeof key.chaining +
                         sizeof key.steps) /
                        sizeof(std::uint32_t)];
    if (!random_bytes(words, sizeof words))
        return false;
    const std::uint32_t *next = words;
    for (std::uint32_t &w : key.sum_starts)
        w = *next++;
    key.acc13_constant = *next++;
    for (std::uint32_t &w : key.chaining)
        w = *next++;
    for (std::uint32_t &w : key.steps)
        w = *next++;
    // The signature holds no zero byte: a zero is drawn again, so that
    // every other value stays equally likely.
    for (std::uint8_t &b : key.stamp_signature)
        do
            if (!random_bytes(&b, 1))
                return false;
        while (b == 0);
    std::uint8_t constants[2];
    if (!random_bytes(constants, sizeof constants))
        return false;
    key.stamp_addend = constants[0];
    key.stamp_mask = constants[1];
    return true;
}

bool write_key(std::FILE *f, const KeyMaterial &key) {
    std::fputs("# QOR key material, made by qortool keygen. Keep it secret: a code or a\n"
               "# version stamp fits only the key it was made under.\n",
               f);
    std::fputs(key_text(key).c_str(), f);
    return !std::ferror(f);
}

int cmd_keygen(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_command(args, {output_option, force_option}, keygen_help, options);
        status >= 0)
        return status;
    if (!options.operands.empty())
        return usage_error("keygen takes only -o FILE and --force", keygen_help);
    KeyMaterial key;
    if (!random_key(key)) {
        report("keygen", "the system's random generator failed", std::strerror(errno));
        return exit_failed;
    }
    bool written;
    if (options.out.empty() || options.out == "-") {
        written = write_key(stdout, key) && std::fflush(stdout) == 0;
        if (!written)
            report("standard output", "write error", std::strerror(errno ? errno : EIO));
    } else {
        Replace replace = options.force ? Replace::allowed : Replace::never;
        written = write_file_safely(path_from_argument(options.out), replace, Secrecy::secret,
                                    [&](std::FILE *f) { return write_key(f, key); });
    }
    if (written)
        std::fprintf(stderr, "qortool: key id %s\n", key_id(key).c_str());
    return written ? exit_ok : exit_failed;
}

int cmd_keyid(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_command(args, {key_option}, keyid_help, options); status >= 0)
        return status;
    if (!options.operands.empty())
        return usage_error("keyid takes only --key FILE", keyid_help);
    KeyMaterial key;
    if (!chosen_key(options.key_file, key))
        return exit_trouble;
    std::printf("%s\n", key_id(key).c_str());
    return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
}

} // namespace

bool load_key_file(const std::string &argument, KeyMaterial &key) {
    std::string error;
    bool read = false;
    if (argument == "-") {
        set_binary_mode(stdin);
        read = read_key_stream(stdin, "standard input", key, error);
    } else if (const char *why = nullptr;
               File f{open_key_source(path_from_argument(argument), &why)}) {
        read = read_key_stream(f.get(), argument, key, error);
    } else {
        // A copy first: Windows' strerror gives the same buffer every time.
        const std::string reason = why;
        error = argument + ": " + (reason == std::strerror(ENOENT) ? "key file not found" : reason);
    }
    if (!read)
        std::fprintf(stderr, "qortool: %s\n", error.c_str());
    return read;
}

int qortool_main(int argc, char **argv) {
    prepare_process();
    // For benchmarks: the scan's variant, instead of the fastest one here.
    if (const char *variant = std::getenv("QOR_MIX_VARIANT"); variant && *variant) {
        if (!force_mix_variant(variant)) {
            std::fprintf(stderr, "qortool: QOR_MIX_VARIANT=%s: no such variant on this processor\n",
                         variant);
            return exit_trouble;
        }
    }
    std::vector<std::string> args = program_arguments(argc, argv);
    if (args.size() < 2)
        return usage_error("missing command", usage_text);
    std::string command = args[1];
    args.erase(args.begin(), args.begin() + 2);
    if (command == "verify")
        return cmd_verify(args);
    if (command == "audit")
        return cmd_audit(args);
    if (command == "issue")
        return cmd_issue(args);
    if (command == "stamp")
        return cmd_stamp(args);
    if (command == "keygen")
        return cmd_keygen(args);
    if (command == "keyid")
        return cmd_keyid(args);
    if (command == "--help" || command == "-h") {
        // The whole help: the man page is made from it.
        std::fputs(usage_text, stdout);
        const char *const sections[][2] = {{"Checking releases", verify_help},
                                           {"Audits", audit_help},
                                           {"Issuing", issue_help},
                                           {"Stamping", stamp_help},
                                           {"Making keys", keygen_help},
                                           {"Key ids", keyid_help},
                                           {"Key files", key_file_help}};
        for (const auto &[title, help] : sections)
            std::printf("\n%s:\n\n%s", title, help);
        return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
    }
    if (command == "--version") {
        std::printf("qortool %s\nkey id %s\n", QOR_VERSION, key_id(build_key).c_str());
        return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
    }
    return usage_error("unknown command " + command, usage_text);
}

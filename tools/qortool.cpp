// qortool: the publishing group's companion to the certificator.
//
//   verify  checks releases exactly as the dialog does and prints its texts
//   issue   writes an information file that carries the code for its content
//   stamp   writes the version stamp at the end of a certificator executable
//   keygen  writes fresh key material
//
// Exit status: 0 success, 1 a release not genuine or a failed operation,
// 2 a usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "commands.h"
#include "files.h"
#include "issue.h"
#include "key_file.h"
#include "options.h"
#include "scan.h"
#include "verify.h"
#include "version_stamp.h"

namespace fs = std::filesystem;

namespace {

const char usage_text[] =
    "Usage: qortool verify [OPTION]... [PATH]...\n"
    "  or:  qortool issue [--reissue] [--force] [--key FILE] BODY -o OUT\n"
    "  or:  qortool stamp [--force] [--key FILE] EXE VERSION [SECOND]\n"
    "  or:  qortool stamp --show [--key FILE] EXE\n"
    "  or:  qortool keygen [-o FILE] [--force]\n"
    "  or:  qortool keyid [--key FILE]\n"
    "  or:  qortool --version | --help\n"
    "Checks, issues and stamps releases of the QOR group. Every command takes\n"
    "--help. Without --key, the key is the one this qortool was built with.\n";

const char issue_help[] =
    "usage: qortool issue [--reissue] [--force] [--key FILE] BODY -o OUT\n"
    "Writes OUT: the content read from BODY ('-' for standard input), then the\n"
    "trailer with the authentication code for that content. Pads the content\n"
    "with blanks where verification needs it.\n"
    "  -o, --output OUT  the information file to write\n"
    "  --force           replace OUT if it exists\n"
    "  --reissue         BODY may end in a trailer (an issued or edited\n"
    "                    information file): that trailer is replaced\n"
    "  --key FILE        issue under the key in FILE\n";

const char stamp_help[] =
    "usage: qortool stamp [--force] [--key FILE] EXE VERSION [SECOND]\n"
    "       qortool stamp --show [--key FILE] EXE\n"
    "Writes the version stamp at the end of the certificator executable EXE,\n"
    "replacing a stamp of the same key. The certificator shows VERSION (at\n"
    "most 29 characters) in its title; SECOND (at most 10) is kept but not\n"
    "shown. Both are given in UTF-8 and stored in Windows-1252. EXE keeps its\n"
    "mode and owner; a symlink is followed to the file it names.\n"
    "  --show      print the version and second text of EXE's stamp\n"
    "  --force     stamp a file that is not a Windows executable, or that\n"
    "              holds other data after its last section (a stamp of\n"
    "              another key, a signature)\n"
    "  --key FILE  stamp or read under the key in FILE\n";

const char keygen_help[] = "usage: qortool keygen [-o FILE] [--force]\n"
                           "Writes fresh random key material in the key file format to FILE (mode\n"
                           "0600), or to standard output, and its key id to standard error. Build\n"
                           "with it through -DQOR_KEY_FILE=FILE, or give it to --key.\n"
                           "  -o, --output FILE  the key file to write\n"
                           "  --force            replace FILE if it exists\n";

const char keyid_help[] = "usage: qortool keyid [--key FILE]\n"
                          "Prints the short id of the key in FILE, or of this qortool's key.\n"
                          "  --key FILE  the key file\n";

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

bool write_information_file(std::FILE *body, const std::string &body_name, std::FILE *out,
                            bool reissue, const KeyMaterial &key) {
    IssuedFile issued = issue_information_file(body, out, reissue, key);
    if (issued.write_failed)
        return false; // reported with the name of the file being written
    if (issued.read_failed) {
        std::fprintf(stderr, "qortool: %s: read failed: %s\n", body_name.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (issued.stop != issued.padded) {
        std::fprintf(stderr,
                     "qortool: %s: the content holds the marker text at offset %llu, where "
                     "verification would stop; %s\n",
                     body_name.c_str(), static_cast<unsigned long long>(issued.stop),
                     issued.ends_in_trailer && !reissue
                         ? "it ends in a trailer, which --reissue replaces"
                         : "remove it");
        return false;
    }
    if (issued.padded != issued.length)
        std::fprintf(stderr, "qortool: %s: padded the content with %llu blanks (%s)\n",
                     body_name.c_str(),
                     static_cast<unsigned long long>(issued.padded - issued.length),
                     issued.length + trailer_length < size_floor
                         ? "an information file holds at least 6000 bytes"
                         : "so that the marker does not cross a 1024-byte boundary");
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
    KeyMaterial key;
    if (!chosen_key(options.key_file, key))
        return exit_usage;
    const std::string &operand = options.operands[0];
    std::string body_name = operand == "-" ? "standard input" : operand;

    std::FILE *body = stdin;
    if (operand == "-") {
        set_binary_mode(stdin);
    } else if (!(body = open_file(path_from_argument(operand), "rb"))) {
        std::fprintf(stderr, "qortool: %s: cannot open: %s\n", body_name.c_str(),
                     std::strerror(errno));
        return exit_failed;
    }
    Replace replace = options.force ? Replace::allowed : Replace::never;
    fs::path out_path = path_from_argument(options.out);
    bool ok = write_file_safely(out_path, replace, Secrecy::normal, [&](std::FILE *out) {
        bool written = write_information_file(body, body_name, out, options.reissue, key);
        // The body is read to its end before OUT is replaced, and closed, so
        // that it may be OUT itself (Windows replaces no open file).
        if (body != stdin)
            std::fclose(body);
        body = nullptr;
        return written;
    });
    if (body && body != stdin)
        std::fclose(body);
    return ok ? exit_ok : exit_failed;
}

// ---- stamp ----

// Prints the stamp of EXE under the key, or says there is none.
int show_stamp(const std::string &exe, const KeyMaterial &key) {
    VersionStamp stamp = read_version_stamp(path_from_argument(exe), key);
    if (!stamp.opened) {
        std::fprintf(stderr, "qortool: %s: cannot open: %s\n", exe.c_str(), std::strerror(errno));
        return exit_failed;
    }
    if (!stamp.present) {
        std::fprintf(stderr, "qortool: %s: no stamp of this key\n", exe.c_str());
        return exit_failed;
    }
    std::printf("version: %s\nsecond: %s\n", utf8_from_windows_1252(stamp.version).c_str(),
                utf8_from_windows_1252(stamp.second).c_str());
    return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
}

int cmd_stamp(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_command(args, {force_option, key_option, {"show", show_flag, nullptr}},
                                   stamp_help, options);
        status >= 0)
        return status;
    KeyMaterial key;
    if (!chosen_key(options.key_file, key))
        return exit_usage;
    const std::vector<std::string> &operands = options.operands;
    if (options.show) {
        if (operands.size() != 1)
            return usage_error("stamp --show needs one EXE", stamp_help);
        return show_stamp(operands[0], key);
    }
    if (operands.size() < 2 || operands.size() > 3)
        return usage_error("stamp needs EXE and VERSION, and takes at most SECOND", stamp_help);
    const std::string &exe = operands[0];
    std::string version, second, refused;
    for (std::size_t i = 1; i < operands.size(); ++i) {
        if (!windows_1252_from_utf8(operands[i], i == 1 ? version : second, refused)) {
            std::fprintf(stderr,
                         "qortool: the %s text holds '%s', which the certificator's title "
                         "(Windows-1252) cannot show\n",
                         i == 1 ? "version" : "second", refused.c_str());
            return exit_usage;
        }
    }
    if (version.size() > version_field - 1 || second.size() > second_field - 1) {
        std::fprintf(stderr,
                     "qortool: the version text holds at most %zu characters and the second "
                     "text at most %zu\n",
                     version_field - 1, second_field - 1);
        return exit_usage;
    }
    // A link is followed: the file it names is stamped in its own folder,
    // and the link keeps naming it.
    std::error_code ec;
    fs::path given = path_from_argument(exe);
    fs::path target = fs::is_symlink(given, ec) ? fs::canonical(given, ec) : given;
    const char *why = std::strerror(ENOENT);
    std::FILE *in = ec ? nullptr : open_regular_file(target, &why);
    std::uint64_t size = 0;
    if (!in || !measure_file(in, &size)) {
        std::fprintf(stderr, "qortool: %s: cannot stamp: %s\n", exe.c_str(),
                     in ? std::strerror(errno) : why);
        if (in)
            std::fclose(in);
        return exit_failed;
    }
    std::uint64_t image_end = executable_image_end(in);
    if (!options.force && image_end == 0) {
        std::fprintf(stderr,
                     "qortool: %s: not a Windows executable (no MZ header or no PE signature); "
                     "--force stamps it all the same\n",
                     exe.c_str());
        std::fclose(in);
        return exit_failed;
    }
    VersionStamp old = read_version_stamp(in, key);
    // Everything but a stamp of this key, then the new one.
    std::uint64_t keep = old.present ? size - stamp_length : size;
    if (!options.force && image_end && keep > image_end) {
        std::fprintf(stderr,
                     "qortool: %s: holds %llu bytes after its last section (a stamp of another "
                     "key, a signature or other data); --force appends the stamp after them\n",
                     exe.c_str(), static_cast<unsigned long long>(keep - image_end));
        std::fclose(in);
        return exit_failed;
    }
    seek_stream(in, 0, SEEK_SET);
    bool ok = write_file_safely(target, Replace::allowed, Secrecy::normal, [&](std::FILE *out) {
        std::uint64_t copied = copy_stream(in, out, keep);
        bool read = copied == keep || std::ferror(out);
        // Windows cannot replace a file that is still open.
        std::fclose(in);
        in = nullptr;
        if (!read) {
            std::fprintf(stderr, "qortool: %s: read failed\n", exe.c_str());
            return false;
        }
        std::uint8_t stamp[stamp_length];
        make_version_stamp(version.c_str(), second.c_str(), stamp, key);
        std::fwrite(stamp, 1, stamp_length, out);
        return true;
    });
    if (in)
        std::fclose(in);
    return ok ? exit_ok : exit_failed;
}

// ---- keygen ----

void write_words(std::FILE *f, const char *name, const std::vector<std::uint32_t> &words,
                 int digits) {
    std::fputs(name, f);
    for (std::uint32_t w : words)
        std::fprintf(f, " 0x%0*x", digits, static_cast<unsigned>(w));
    std::fputc('\n', f);
}

// Fresh key material from the operating system's random source.
KeyMaterial random_key() {
    std::random_device random;
    KeyMaterial key;
    for (std::uint32_t &w : key.sum_starts)
        w = random();
    key.acc13_constant = random();
    for (std::uint32_t &w : key.chaining)
        w = random();
    for (std::uint32_t &w : key.steps)
        w = random();
    for (std::uint8_t &b : key.stamp_signature)
        b = static_cast<std::uint8_t>(1 + random() % 255); // no zero byte
    key.stamp_addend = static_cast<std::uint8_t>(random());
    key.stamp_mask = static_cast<std::uint8_t>(random());
    return key;
}

bool write_key(std::FILE *f, const KeyMaterial &key) {
    const auto bytes = [](const std::uint8_t *p, std::size_t n) {
        return std::vector<std::uint32_t>(p, p + n);
    };
    std::fputs("# QOR key material, made by qortool keygen. Keep it secret: a code or a\n"
               "# version stamp fits only the key it was made under.\n",
               f);
    write_words(f, "sum_starts", {std::begin(key.sum_starts), std::end(key.sum_starts)}, 8);
    write_words(f, "acc13_constant", {key.acc13_constant}, 8);
    write_words(f, "chaining", {std::begin(key.chaining), std::end(key.chaining)}, 8);
    write_words(f, "steps", {std::begin(key.steps), std::end(key.steps)}, 8);
    write_words(f, "stamp_signature", bytes(key.stamp_signature, signature_length), 2);
    write_words(f, "stamp_addend", {key.stamp_addend}, 2);
    write_words(f, "stamp_mask", {key.stamp_mask}, 2);
    return !std::ferror(f);
}

int cmd_keygen(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_command(args, {output_option, force_option}, keygen_help, options);
        status >= 0)
        return status;
    if (!options.operands.empty())
        return usage_error("keygen takes only -o FILE and --force", keygen_help);
    KeyMaterial key = random_key();
    bool written;
    if (options.out.empty()) {
        written = write_key(stdout, key) && std::fflush(stdout) == 0;
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
        return exit_usage;
    std::printf("%s\n", key_id(key).c_str());
    return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
}

} // namespace

bool load_key_file(const std::string &argument, KeyMaterial &key) {
    std::string error;
    if (read_key_file(path_from_argument(argument), argument, key, error))
        return true;
    std::fprintf(stderr, "qortool: %s\n", error.c_str());
    return false;
}

int main(int argc, char **argv) {
    prepare_process();
    // For benchmarks: the scan's variant, instead of the fastest one here.
    if (const char *variant = std::getenv("QOR_MIX_VARIANT"); variant && *variant) {
        if (!force_mix_variant(variant)) {
            std::fprintf(stderr, "qortool: QOR_MIX_VARIANT=%s: no such variant on this processor\n",
                         variant);
            return exit_usage;
        }
    }
    std::vector<std::string> args = program_arguments(argc, argv);
    if (args.size() < 2)
        return usage_error("missing command", usage_text);
    std::string command = args[1];
    args.erase(args.begin(), args.begin() + 2);
    if (command == "verify")
        return cmd_verify(args);
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
                                           {"Issuing", issue_help},
                                           {"Stamping", stamp_help},
                                           {"Making keys", keygen_help},
                                           {"Key ids", keyid_help}};
        for (const auto &[title, help] : sections)
            std::printf("\n%s:\n\n%s", title, help);
        return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
    }
    if (command == "--version") {
        std::printf("qortool %s\nkey id %s\n", QOR_VERSION, key_id(build_key).c_str());
        return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
    }
    return usage_error("unknown command " + command, usage_text);
}

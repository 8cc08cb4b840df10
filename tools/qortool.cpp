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
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "commands.h"
#include "files.h"
#include "issue.h"
#include "options.h"
#include "verify.h"
#include "version_stamp.h"

namespace fs = std::filesystem;

namespace {

const char usage_text[] = "usage: qortool verify [-q | --brief | --json] [--strict] [-r] [-j N]\n"
                          "                      [--files-from FILE [-0]] [PATH...]\n"
                          "       qortool issue BODY -o OUT [--force]\n"
                          "       qortool stamp [--force] EXE VERSION [SECOND]\n"
                          "       qortool keygen [-o FILE] [--force]\n"
                          "       qortool --version\n"
                          "Run 'qortool COMMAND --help' for one command.\n";

const char issue_help[] =
    "usage: qortool issue BODY -o OUT [--force]\n"
    "Writes OUT: the content read from BODY ('-' for standard input), then the\n"
    "trailer with the authentication code for that content under this build's\n"
    "key. Pads the content with blanks where verification needs it.\n"
    "  -o OUT   the information file to write\n"
    "  --force  replace OUT if it exists\n";

const char stamp_help[] =
    "usage: qortool stamp [--force] EXE VERSION [SECOND]\n"
    "Writes the version stamp at the end of the certificator executable EXE,\n"
    "replacing the stamp it holds. The certificator shows VERSION (at most 29\n"
    "characters) in its title; SECOND (at most 10) is kept but not shown.\n"
    "EXE keeps its mode and owner; a symlink is followed to the file it names.\n"
    "  --force  stamp a file that is not a Windows executable\n";

const char keygen_help[] =
    "usage: qortool keygen [-o FILE] [--force]\n"
    "Writes fresh random key material in the key file format to FILE (mode\n"
    "0600), or to standard output. Build with it through -DQOR_KEY_FILE=FILE.\n"
    "  -o FILE  the key file to write\n"
    "  --force  replace FILE if it exists\n";

// -o FILE, --force and the operands: what issue, stamp and keygen take.
struct Options {
    std::string out;
    bool force = false;
    std::vector<std::string> operands;
};

// Parses them; returns -1 to go on, or the exit status.
int parse_output_options(const std::vector<std::string> &args, bool takes_out, const char *help,
                         Options &options) {
    std::vector<OptionSpec> specs = {{"force", 256, nullptr}};
    if (takes_out)
        specs.push_back({"output", 'o', "a file name"});
    return parse_options(
        args, specs, help,
        [&](int key, const char *value) {
            if (key == 'o')
                options.out = value;
            else
                options.force = true;
        },
        options.operands);
}

// ---- issue ----

bool write_information_file(std::FILE *body, const std::string &body_name, std::FILE *out) {
    IssuedFile issued = issue_information_file(body, out);
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
                     "verification would stop; remove it\n",
                     body_name.c_str(), static_cast<unsigned long long>(issued.stop));
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
    if (int status = parse_output_options(args, true, issue_help, options); status >= 0)
        return status;
    if (options.operands.size() != 1 || options.out.empty())
        return usage_error("issue needs one BODY and -o OUT", issue_help);
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
        bool written = write_information_file(body, body_name, out);
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

int cmd_stamp(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_output_options(args, false, stamp_help, options); status >= 0)
        return status;
    const std::vector<std::string> &operands = options.operands;
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
    if (!options.force && !is_windows_executable(in)) {
        std::fprintf(stderr,
                     "qortool: %s: not a Windows executable (no MZ header or no PE signature); "
                     "--force stamps it all the same\n",
                     exe.c_str());
        std::fclose(in);
        return exit_failed;
    }
    VersionStamp old = read_version_stamp(target);
    // Everything but an existing stamp, then the new one.
    std::uint64_t keep = old.present ? size - stamp_length : size;
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
        make_version_stamp(version.c_str(), second.c_str(), stamp);
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

bool write_key(std::FILE *f) {
    std::random_device random; // the operating system's random source
    auto draw = [&](std::size_t n) {
        std::vector<std::uint32_t> words(n);
        for (std::uint32_t &w : words)
            w = random();
        return words;
    };
    std::vector<std::uint32_t> signature(5);
    for (std::uint32_t &b : signature)
        b = 1 + random() % 255; // a stamp signature holds no zero byte
    std::fputs("# QOR key material, made by qortool keygen. Keep it secret: a code or a\n"
               "# version stamp fits only the key it was made under.\n",
               f);
    write_words(f, "sum_starts", draw(13), 8);
    write_words(f, "acc13_constant", draw(1), 8);
    write_words(f, "chaining", draw(4), 8);
    write_words(f, "steps", draw(64), 8);
    write_words(f, "stamp_signature", signature, 2);
    write_words(f, "stamp_addend", {random() % 256}, 2);
    write_words(f, "stamp_mask", {random() % 256}, 2);
    return !std::ferror(f);
}

int cmd_keygen(const std::vector<std::string> &args) {
    Options options;
    if (int status = parse_output_options(args, true, keygen_help, options); status >= 0)
        return status;
    if (!options.operands.empty())
        return usage_error("keygen takes only -o FILE and --force", keygen_help);
    if (options.out.empty())
        return write_key(stdout) && std::fflush(stdout) == 0 ? exit_ok : exit_failed;
    Replace replace = options.force ? Replace::allowed : Replace::never;
    return write_file_safely(path_from_argument(options.out), replace, Secrecy::secret, write_key)
               ? exit_ok
               : exit_failed;
}

} // namespace

int main(int argc, char **argv) {
    prepare_process();
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
    if (command == "--help" || command == "-h") {
        std::fputs(usage_text, stdout);
        return exit_ok;
    }
    if (command == "--version") {
        std::printf("qortool %s\n", QOR_VERSION);
        return exit_ok;
    }
    return usage_error("unknown command " + command, usage_text);
}

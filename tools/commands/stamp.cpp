// qortool stamp: writes, replaces or shows the version stamp at the end of
// a certificator executable. May include the library (lib/) and the core.
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
#include "version_stamp.h"

namespace fs = std::filesystem;

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

namespace {

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

} // namespace

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

// qortool keygen and keyid: fresh key material, and a key's short id; and
// the key file's format for the full help. May include the library (lib/)
// and the core.
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
#include "keys.h"
#include "shared_options.h"

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

namespace {

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

} // namespace

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
            report_write_error();
    } else {
        Replace replace = options.force ? Replace::allowed : Replace::never;
        written = write_file_safely(path_from_argument(options.out), replace, Secrecy::secret,
                                    [&](std::FILE *f) { return write_key(f, key); });
    }
    if (written)
        report_message("key id %s", key_id(key).c_str());
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

// qortool: the publishing group's companion to the certificator. The
// command table below is the one list of its commands: dispatch, the usage
// text, the full --help and, from that, the man page come from it. May
// include the commands (commands.h), the library (lib/) and the core.
//
// Exit status, for every command: 0 success, 1 a release not genuine or a
// failed operation, 2 a usage error or an error of the tool itself (output
// that cannot be written, a key file or list that cannot be read).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "files.h"
#include "key_file.h"
#include "mix.h"
#include "options.h"
#include "verify.h"

namespace {

struct Command {
    const char *name;
    int (*run)(const std::vector<std::string> &args);
    const char *synopses[2]; // after "qortool NAME": how it is called
    const char *section;     // the full help's heading for its help
    const char *help;
};

const Command commands[] = {
    {"verify", cmd_verify, {"[OPTION]... [PATH]..."}, "Checking releases", verify_help},
    {"audit",
     cmd_audit,
     {"--state FILE [--run OLD --run NEW] [--json] | --runs"},
     "Audits",
     audit_help},
    {"issue", cmd_issue, {"[--reissue] [--force] [--key FILE] BODY -o OUT"}, "Issuing", issue_help},
    {"stamp",
     cmd_stamp,
     {"[--force] [--key FILE] EXE VERSION [SECOND]", "--show [--key FILE] EXE"},
     "Stamping",
     stamp_help},
    {"keygen", cmd_keygen, {"[-o FILE] [--force]"}, "Making keys", keygen_help},
    {"keyid", cmd_keyid, {"[--key FILE]"}, "Key ids", keyid_help},
};

std::string usage_text() {
    std::string text;
    for (const Command &c : commands)
        for (const char *synopsis : c.synopses)
            if (synopsis)
                text += std::string(text.empty() ? "Usage: qortool " : "  or:  qortool ") + c.name +
                        " " + synopsis + "\n";
    return text + "  or:  qortool --version | --help | -h\n"
                  "Checks, issues and stamps releases of the QOR group. Every command takes\n"
                  "--help. Without --key, the key is the one this qortool was built with.\n";
}

// The whole help: the usage, then each command's help under its heading,
// then the key file's format. The man page is made from it.
int print_full_help() {
    std::fputs(usage_text().c_str(), stdout);
    for (const Command &c : commands)
        std::printf("\n%s:\n\n%s", c.section, c.help);
    std::printf("\n%s:\n\n%s", "Key files", key_file_help);
    return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
}

} // namespace

int qortool_main(int argc, char **argv) {
    prepare_process();
    // For benchmarks: the scan's variant, instead of the fastest one here.
    if (const char *variant = std::getenv("QOR_MIX_VARIANT"); variant && *variant) {
        if (!force_mix_variant(variant)) {
            report_message("QOR_MIX_VARIANT=%s: no such variant on this processor", variant);
            return exit_trouble;
        }
    }
    std::vector<std::string> args = program_arguments(argc, argv);
    const std::string usage = usage_text();
    if (args.size() < 2)
        return usage_error("missing command", usage.c_str());
    std::string name = args[1];
    args.erase(args.begin(), args.begin() + 2);
    for (const Command &c : commands)
        if (name == c.name)
            return c.run(args);
    if (name == "--help" || name == "-h")
        return print_full_help();
    if (name == "--version") {
        std::printf("qortool %s\nkey id %s\n", QOR_VERSION, key_id(build_key).c_str());
        return std::fflush(stdout) == 0 ? exit_ok : exit_trouble;
    }
    return usage_error("unknown command " + name, usage.c_str());
}

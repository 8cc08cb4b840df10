#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "files.h"

namespace {

std::string option_name(const CommandOption &opt) {
    return opt.key < 256 ? std::string("-") + static_cast<char>(opt.key)
                         : std::string("--") + opt.name;
}

} // namespace

int usage_error(const std::string &what, const char *help) {
    // The usage lines of the help: those up to its first description line.
    std::string usage = help;
    for (std::size_t at = 0; (at = usage.find('\n', at)) != std::string::npos;)
        if (++at < usage.size() && usage[at] != ' ' && usage.compare(at, 6, "usage:") != 0) {
            usage.resize(at);
            break;
        }
    report_message("%s\n%sRun 'qortool --help' or 'qortool COMMAND --help'.", what.c_str(),
                   usage.c_str());
    return exit_trouble;
}

int parse_options(const std::vector<std::string> &args, const std::vector<CommandOption> &accepted,
                  const char *help, const std::function<void(int key, const char *value)> &take,
                  std::vector<std::string> &operands) {
    std::vector<CommandOption> all = accepted;
    all.push_back({"help", 'h', nullptr});
    // A leading ':' makes a missing value ':' rather than '?'.
    std::string letters = ":";
    std::vector<option> longs;
    for (const CommandOption &opt : all) {
        if (opt.key < 256) {
            letters += static_cast<char>(opt.key);
            if (opt.value)
                letters += ':';
        }
        longs.push_back({opt.name, opt.value ? required_argument : no_argument, nullptr, opt.key});
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> copies = args;
    copies.insert(copies.begin(), "qortool");
    std::vector<char *> argv;
    for (std::string &a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(copies.size());

    opterr = 0;
    optind = 0; // starts afresh
    for (int key;
         (key = getopt_long(argc, argv.data(), letters.c_str(), longs.data(), nullptr)) != -1;) {
        if (key == 'h') {
            std::fputs(help, stdout);
            return exit_ok;
        }
        if (key == ':' || key == '?') {
            const CommandOption *known = nullptr;
            for (const CommandOption &opt : all)
                if (optopt != 0 && opt.key == optopt)
                    known = &opt;
            if (key == ':' && known)
                return usage_error(option_name(*known) + " needs " + known->value, help);
            std::string given = optopt && optopt < 256
                                    ? std::string("-") + static_cast<char>(optopt)
                                    : std::string(argv[static_cast<std::size_t>(optind - 1)]);
            return usage_error("unknown option " + given, help);
        }
        take(key, optarg);
    }
    operands.assign(argv.begin() + optind, argv.begin() + argc);
    return -1;
}

bool parse_number(const char *text, std::uint64_t lowest, std::uint64_t highest, std::uint64_t &n) {
    if (*text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end || errno == ERANGE || value < lowest || value > highest)
        return false;
    n = value;
    return true;
}

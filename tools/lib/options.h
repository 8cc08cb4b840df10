// One option parser for every qortool command: getopt_long, with options
// before or after the operands, "--" ending the options, and messages that
// say what is wrong ("-o needs a file name"); the one number parser and the
// exit statuses. May include nothing of the tool's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CommandOption {
    const char *name;  // the long name, without "--"
    int key;           // its letter, or a number above 255 for a long name only
    const char *value; // what its value is ("a file name"), or null for a flag
};

// Parses a command's arguments (those after its name). Calls `take` for each
// option in order and fills `operands`. Returns -1 to go on, or the exit
// status once it has printed `help` (for --help: 0) or reported a usage
// error (2).
int parse_options(const std::vector<std::string> &args, const std::vector<CommandOption> &accepted,
                  const char *help, const std::function<void(int key, const char *value)> &take,
                  std::vector<std::string> &operands);

// The exit statuses of every command: success; a release not genuine or
// an operation that failed; trouble, that is a usage error or an error of
// the tool itself (output that cannot be written, a key file or list that
// cannot be read), as grep and the checksum tools have it.
constexpr int exit_ok = 0, exit_failed = 1, exit_trouble = 2;

// Reports a usage error with the command's help; returns exit_trouble.
int usage_error(const std::string &what, const char *help);

// Reads a decimal number from `lowest` to `highest`, all digits (no sign,
// no blank); false, leaving `n` as it was, when `text` is not one.
bool parse_number(const char *text, std::uint64_t lowest, std::uint64_t highest, std::uint64_t &n);

// The options that issue, stamp, keygen and keyid share, and their key.
// May include the library (lib/) and the core.
#pragma once

#include <string>
#include <vector>

#include "key_file.h"
#include "options.h"

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
                  const char *help, Options &options);

inline const CommandOption output_option = {"output", 'o', "a file name"};
inline const CommandOption force_option = {"force", force_flag, nullptr};
inline const CommandOption key_option = {"key", key_flag, "a file name"};

// The key in the file given with --key, or the build's.
bool chosen_key(const std::string &key_file, KeyMaterial &key);

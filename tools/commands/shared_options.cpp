#include "shared_options.h"

#include "keys.h"

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

bool chosen_key(const std::string &key_file, KeyMaterial &key) {
    if (key_file.empty()) {
        key = build_key;
        return true;
    }
    return load_key_file(key_file, key);
}

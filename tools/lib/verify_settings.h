// What a run of qortool verify is asked to do, as its options set it: what
// the release pipeline (releases, judging, report, pool) works from. May
// include the library and the core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "key_file.h"
#include "state.h"

// How many releases' files a walk asks of the disk ahead of the workers by
// default: none, as on the virtual disk it was measured on it gained
// nothing the noise did not hide (see docs/performance.md).
constexpr unsigned default_read_ahead = 0;

enum class Format { blocks, brief, json, quiet };

// A key to check under, and how messages name it.
struct NamedKey {
    KeyMaterial key;
    std::string id;
};

struct Settings {
    Format format = Format::blocks;
    bool strict = false;
    bool recursive = false;
    bool null_separated = false;
    std::string files_from;
    unsigned jobs = 0;
    unsigned read_ahead = default_read_ahead; // releases asked of the disk ahead; 0: none
    std::vector<NamedKey> keys;               // several: say which one a release fits
    std::vector<std::string> excludes;
    StateDb *state = nullptr; // with --state
    RunScope scope;           // what the run looks at, where it records places
    bool incremental = false, resume = false;
    std::int64_t recheck_after = -1; // seconds; negative: never
};

// What a recorded verdict depends on besides the file: the keys and
// --strict.
std::string verdict_settings(const Settings &settings);

// Where a release is, and what a run looked at, for comparing runs whatever
// the spelling of their paths. May include nothing of the tool's.
#pragma once

#include <string>
#include <vector>

// What a run looked at: the releases under its operands (with -r) or the
// operands themselves, and those it read from its list, but none that its
// excludes pass over. Runs recorded before scopes were have none.
struct RunScope {
    bool known = false;
    std::string folder;                // the working folder, resolved
    std::vector<std::string> operands; // resolved, as places are
    std::vector<std::string> excludes;
    std::string list; // the --files-from FILE as given; empty without one
    bool recursive = false;
};

bool operator==(const RunScope &a, const RunScope &b);

// Where a release is, for comparing runs: `name` below `folder` (or on its
// own when absolute), with "." and empty names dropped and ".." taken back,
// so that arc, ./arc/, arc// and the absolute path are one place. Without a
// folder, the name normalised as far as that goes.
std::string place_of(const std::string &folder, const std::string &name);

// Whether `place` is `scope_place` or below it.
bool place_within(const std::string &place, const std::string &scope_place);

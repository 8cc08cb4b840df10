// What qortool verify finds out about one release, before any of it is
// printed, and the file facts by which a later run knows it unchanged. May
// include nothing of the tool's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An information file as the file system describes it, taken before it is
// read. Any write moves its change time, also one that puts the
// modification time back; a file put in its place has another identity.
struct FileIdentity {
    bool known = false; // false: it could not be described, and is read
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0, changed_ns = 0; // since 1970, UTC
    std::uint64_t device = 0, inode = 0;          // the volume serial and file index on Windows
};

bool same_file_state(const FileIdentity &a, const FileIdentity &b);

struct Judgement {
    std::string name;                // as given or found: what the output shows
    std::string relative;            // the name below its operand, or as listed
    std::string place;               // where it is, resolved, for comparing runs
    bool checked = true;             // false: the entry could not be checked at all
    bool genuine = false;            // the verdict reported (--strict included)
    bool passed = false;             // all five stages passed
    int stage = 0;                   // the stage that ended the run; 0 when none ran
    std::vector<std::string> status; // the status lines as the dialog shows them
    std::string reason;              // why not genuine, or not checked, beyond the status line
    std::string missing;             // the information file the presence stage could not open
    std::uint64_t size = 0, covered = 0, uncovered = 0;
    std::string key; // the id of the key it fits
    bool several_keys = false;
    std::vector<std::string> ambiguous_files;

    // With a state database:
    FileIdentity identity;
    std::int64_t judged = 0; // when its information file was read, seconds since 1970
    bool was_read = true;    // false: unchanged since `judged`, its verdict recorded then
    bool resumed = false;    // judged and recorded before the run was cut off
};

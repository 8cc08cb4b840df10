// Finding the releases of a run of verify: the operands, a list of paths,
// the walk under a folder. May include the library and the core.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "verify_settings.h"
#include "walk.h"

// One entry of the run: a release to check, or a path that could not be
// checked at all and says why.
struct Release {
    std::string name;           // as given or found: what the output shows
    std::string relative;       // below its operand, or as given: what --exclude meets
    std::string not_checked;    // why it could not be checked; empty for a release
    std::filesystem::path path; // a path given as text; empty for one the walk found
    Folder folder;              // the release folder, opened; null for a file
    std::vector<std::string> information_files; // in the folder, in any letter case, sorted
    std::shared_ptr<FileAhead> ahead;           // its one information file, when read ahead
};

// An entry's name in a folder, as the walk prints it.
std::string joined(const std::string &folder, const std::string &entry);

// An entry that could not be checked at all, and why.
Release unchecked(const std::string &name, const std::string &why);

// The entries to check, one at a time, in a stable order: the operands, then
// the paths read from --files-from; with -r, the release folders under each
// folder instead, found depth first in sorted order. With read-ahead, a walk
// runs up to that many releases ahead of the workers and asks the disk for
// their files, so that a cold disk has several requests in flight while the
// workers scan; only a walk runs ahead (a list may be slow to come), and
// memory stays the same whatever the archive's size. Whatever cannot be
// checked comes as an entry that says why, never as nothing.
class Releases {
  public:
    // `reach`: how many releases a walk runs ahead, asking the disk for
    // their files; 0 for none.
    Releases(const Settings &settings, std::vector<std::string> operands, std::size_t reach = 0);
    ~Releases();
    // Opens the list of --files-from; false with `error` set when it cannot.
    bool open(std::string &error);
    // The next entry, or false when there are no more.
    bool next(Release &release);
    // Why the list could not be read to its end; empty when it was.
    const std::string &list_error() const;
    const std::string &first_operand() const;

  private:
    struct Walk;
    std::unique_ptr<Walk> walk_;
};

// Walking a folder tree by handles, as find does: each subfolder is opened
// relative to its parent's handle and never through a link, so the walk
// cannot be led out of the tree, and its depth is not bounded by the
// platform's longest path. The platform #ifs of the walk are in walk.cpp,
// and here for the path form Windows needs. May include the library's
// judgement.h and the core.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "judgement.h"

// An open folder; closed when the last reference to it goes. Workers open
// files in it while the walk goes on.
struct FolderHandle;
using Folder = std::shared_ptr<const FolderHandle>;

// Opens the folder that an operand names, following a link in its name (the
// user chose it). Null, with an errno value in `error`, on failure: ENOTDIR
// when it is no folder.
Folder open_operand_folder(const std::string &path, int &error);

// Opens the subfolder `name` of `parent` without following a link: a link,
// also one that replaced the folder after it was listed, gives ELOOP.
Folder open_subfolder(const Folder &parent, const std::string &name, int &error);

struct FolderEntry {
    std::string name; // UTF-8 on Windows, bytes on Linux
    bool folder;      // a folder, not a link to one
};

// The folder's entries, but "." and "..", in no particular order. Returns 0
// or an errno value.
int list_folder(const Folder &folder, std::vector<FolderEntry> &entries);

// What open_file_in tells of the file it opened, when asked (for a state
// database): the file as it was opened and, when it was read whole at
// once, as it was after that read; `read_whole` is not known otherwise.
struct OpenedFile {
    FileIdentity opened, read_whole;
};

// An information file opened ahead of its reading (request_file_in), for
// the reading to take over; closed with it when no reading did.
struct FileAhead {
    int descriptor = -1; // the open file, until the reading takes it
    FileIdentity opened; // as it was when opened
    FileAhead() = default;
    FileAhead(const FileAhead &) = delete;
    FileAhead &operator=(const FileAhead &) = delete;
    ~FileAhead();
};

// Opens the information file `name` in `folder` for the verification run:
// a regular file, read in binary; null with the reason in `why` otherwise.
// On Linux a file of up to a MiB is read whole with one read and served
// from memory, so that the run's seeks and reads cost no system call. With
// `ahead`, a descriptor that request_file_in opened is taken over, once.
std::FILE *open_file_in(const Folder &folder, const std::string &name, const char **why,
                        OpenedFile *described = nullptr, FileAhead *ahead = nullptr);

// Asks the disk for the information file `name` in `folder` ahead of its
// reading, without waiting for its pages: on Linux the file is opened as
// the run opens it, its pages are requested (posix_fadvise) and the open
// file is left in `ahead` for the reading. Nothing on Windows.
void request_file_in(const Folder &folder, const std::string &name, FileAhead &ahead);

// The file `name` in `folder`, or at `path`, as the file system describes
// it now (following a link, as the run's open does); not known when it
// cannot be described.
FileIdentity identity_of_file_in(const Folder &folder, const std::string &name);
FileIdentity identity_of_path(const std::filesystem::path &path);
// The file open as `stream`, the one that is read.
FileIdentity identity_of_stream(std::FILE *stream);

// A failure of the walk in plain words.
std::string walk_error_text(int error);

// The separator the walk puts between a folder's name and an entry's.
#ifdef _WIN32
constexpr char folder_separator = '\\';
// The path in the \\?\ form, which Windows takes beyond 260 characters and
// with names that end in a dot or a blank; made absolute first, as that
// form is never normalised.
std::wstring long_path(const std::wstring &path);
#else
constexpr char folder_separator = '/';
#endif

// The path by which the tool opens a path given as text: in the long form
// on Windows.
std::filesystem::path reachable_path(const std::string &given);

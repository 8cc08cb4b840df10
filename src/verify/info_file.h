// Reading the information file: which entry is it, opening it as a
// regular file, its size and its trailer.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "format.h"

// Which entry of a release folder is its information file: one, file or
// folder, named qor.nfo in any ASCII letter case. A folder with none fails
// the presence stage; with one that is a folder, too (it cannot be read);
// with more than one, the release is refused as ambiguous, since which of
// them a user's system shows depends on the system. qortool and the web
// page both decide by this.
bool is_information_file_name(const std::string &name);

// Opens a regular file for binary reading, following symlinks. A folder,
// device or pipe yields null, without blocking. On failure `why`, when
// given, receives the reason in plain words.
std::FILE *open_regular_file(const std::filesystem::path &path, const char **why = nullptr);
#ifndef _WIN32
// The same for `name` in the folder open as descriptor `folder`, so that a
// file is reached however long the path to its folder is.
std::FILE *open_regular_file_at(int folder, const char *name, const char **why = nullptr);
struct stat;
// Its first half: the file's descriptor, described in `st`, or -1 with the
// reason in `why`; for a caller that reads the file its own way.
int open_regular_descriptor_at(int folder, const char *name, struct stat *st,
                               const char **why = nullptr);
#endif

// fseek with a 64-bit offset on every platform; 0 on success.
int seek_stream(std::FILE *stream, std::int64_t offset, int origin);

// The file's size through a seek to its end, 64-bit on every platform.
// Returns false when the size cannot be measured.
bool measure_file(std::FILE *stream, std::uint64_t *size);

// Seeks `offset` bytes before the end and reads `length` bytes into `buffer`;
// bytes a short read leaves are untouched.
void read_from_end(std::FILE *stream, std::size_t offset, std::uint8_t *buffer, std::size_t length);

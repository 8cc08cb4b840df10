// The command line's file helpers: writing a file safely, and everything
// else qortool needs of the operating system. Every platform #if of the
// command line is in files.cpp.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Removes the file being written when the user interrupts, and turns a file
// size limit into a failed write instead of a killed process.
void remove_temp_on_interrupt();

// Writes `path` through a temporary file beside it and a rename, so that an
// interrupted or failed write never leaves a partial file and never touches
// an existing one. `fill` writes the content and reports its own errors
// other than failed writes. Without `force`, an existing `path` is kept.
bool write_atomically(const std::string &path, bool force,
                      const std::function<bool(std::FILE *)> &fill);

// Reads `stream` without text translation (standard input on Windows).
void set_binary_mode(std::FILE *stream);

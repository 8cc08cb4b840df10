// A scratch file per fuzzing process, rewritten for every input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

inline std::string scratch_path(const char *name) {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("qor-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    return (folder / name).string();
}

inline void write_scratch(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();
}

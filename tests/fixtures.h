// Files for the tests: temporary folders, information file layouts and
// genuine files issued under the build's key.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "verify.h"

namespace fs = std::filesystem;

// This test process's own folder, under a name no other process picks: ctest
// runs every test as a process of its own, and several side by side. It is
// removed when the process ends.
inline const fs::path &process_folder() {
    struct Folder {
        fs::path path;
        Folder() {
            std::random_device random;
            for (;;) {
                path = fs::temp_directory_path() /
                       ("qor-tests-" + std::to_string(random()) + std::to_string(random()));
                std::error_code ec;
                if (fs::create_directory(path, ec))
                    return;
                if (ec)
                    throw fs::filesystem_error("cannot create a test folder", path, ec);
            }
        }
        ~Folder() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    };
    static const Folder folder;
    return folder.path;
}

// A fresh, empty folder for the running test.
inline fs::path test_folder() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    fs::path folder = process_folder() / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

inline void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Printable text with line ends and no marker character: n bytes of it.
inline std::string filler(std::size_t n) {
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = (i % 64 == 62) ? '\r' : (i % 64 == 63) ? '\n' : static_cast<char>('a' + i % 26);
    return s;
}

inline std::string trailer(const std::string &code = "2222222222222222",
                           const std::string &closing = "\r\n") {
    return marker_text + code + closing;
}

// The code that makes `content` followed by a trailer genuine, found the way
// the verifier finds it: by scanning the file as it will be laid out, in a
// file of this process's own.
inline std::string code_for(const std::string &content, const std::string &closing = "\r\n") {
    static int count = 0;
    fs::path path = process_folder() / ("code_for-" + std::to_string(++count) + ".nfo");
    write_file(path, content + trailer("2222222222222222", closing));
    std::FILE *f = std::fopen(path.string().c_str(), "rb");
    std::uint64_t summed;
    CheckValue check = content_check_value(f, &summed);
    std::fclose(f);
    fs::remove(path);
    std::uint8_t code[code_length];
    encode_code(check, code);
    return std::string(reinterpret_cast<char *>(code), code_length);
}

inline std::string genuine(const std::string &content, const std::string &closing = "\r\n") {
    return content + trailer(code_for(content, closing), closing);
}

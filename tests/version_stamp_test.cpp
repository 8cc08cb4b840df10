#include <cstring>

#include "fixtures.h"
#include "version_stamp.h"

namespace {

std::string stamp_bytes(const char *version, const char *second) {
    std::uint8_t stamp[stamp_length];
    make_version_stamp(version, second, stamp);
    return std::string(reinterpret_cast<char *>(stamp), stamp_length);
}

std::string titled(const std::string &version) { return std::string(base_title) + " " + version; }

// A stamp whose version field descrambles to exactly these 30 bytes.
std::string stamp_with_version_field(const std::string &field) {
    std::string stamp = stamp_bytes("", "");
    for (std::size_t i = 0; i < version_field; ++i)
        stamp[signature_length + i] =
            static_cast<char>(scramble_byte(static_cast<std::uint8_t>(field[i])));
    return stamp;
}

TEST(VersionStamp, ScramblingIsUndoneByteForByte) {
    for (int t = 0; t < 256; ++t)
        ASSERT_EQ(descramble_byte(scramble_byte(static_cast<std::uint8_t>(t))), t);
}

TEST(VersionStamp, IsFoundOnlyAtTheVeryEndUnderItsSignature) {
    std::string program = filler(5000);
    std::string stamp = stamp_bytes("1.2.3", "second");
    std::string damaged = stamp;
    damaged[4] ^= 1;
    std::string field(version_field, 'x'); // no NUL: cut at the field's length
    const struct {
        const char *what;
        std::string bytes;
        std::string title;
    } cases[] = {
        {"a stamp", program + stamp, "QOR Release Authentication Certificator 1.2.3"},
        {"46 zero bytes", program + std::string(stamp_length, '\0'), titled("")},
        {"a damaged signature", program + damaged, titled("")},
        {"a byte after the stamp", program + stamp + "!", titled("")},
        {"a file shorter than a stamp", stamp.substr(1), titled("")},
        {"a version field starting with NUL", program + stamp_bytes("", "x"), titled("")},
        {"bytes after the version's NUL",
         program + stamp_with_version_field(std::string("2.0\0junk", 8) + std::string(22, 'j')),
         titled("2.0")},
        {"a version field without NUL", program + stamp_with_version_field(field), titled(field)},
    };
    fs::path path = test_folder() / "qorcert.exe";
    for (const auto &c : cases) {
        write_file(path, c.bytes);
        VersionStamp found = read_version_stamp(path);
        EXPECT_TRUE(found.opened) << c.what;
        char title[title_size];
        compose_title(found, title);
        EXPECT_EQ(title, c.title) << c.what;
    }
}

TEST(VersionStamp, KeepsTheSecondTextOutOfTheTitle) {
    fs::path path = test_folder() / "qorcert.exe";
    write_file(path, filler(100) + stamp_bytes("1.0", "0123456789"));
    VersionStamp found = read_version_stamp(path);
    EXPECT_TRUE(found.present);
    EXPECT_STREQ(found.second, "0123456789");
    char title[title_size];
    compose_title(found, title);
    EXPECT_EQ(title, titled("1.0"));
    // Composing again starts from the base title.
    compose_title(found, title);
    EXPECT_EQ(title, titled("1.0"));
}

TEST(VersionStamp, ReportsAFileThatCannotBeOpened) {
    VersionStamp found = read_version_stamp(test_folder() / "absent.exe");
    EXPECT_FALSE(found.opened);
    EXPECT_FALSE(found.present);
}

} // namespace

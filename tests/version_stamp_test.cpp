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

TEST(VersionStamp, TextsAreConvertedToWindows1252) {
    const struct {
        const char *utf8;
        const char *text;    // null: refused
        const char *refused; // the character named in the refusal
    } cases[] = {
        {"1.2.0 beta", "1.2.0 beta", ""},
        {"2.0-\u00DF", "2.0-\xDF", ""},
        {"\u20ACuro \u201Cq\u201D \u2014 \u0178", "\x80uro \x93q\x94 \x97 \x9F", ""},
        {"\u00A0\u00FF", "\xA0\xFF", ""},
        {"2.0-\u0436", nullptr, "\u0436"},
        {"\u4E2D\u6587", nullptr, "\u4E2D"},
        {"x\u0081", nullptr, "\u0081"}, // unassigned in Windows-1252
        {"\U0001F600", nullptr, "\U0001F600"},
        {"1.0\xDF", nullptr, "\xDF"},              // Latin-1, not UTF-8
        {"\xC3", nullptr, "\xC3"},                 // cut short
        {"\xC0\xAF", nullptr, "\xC0\xAF"},         // overlong
        {"\xED\xA0\x80", nullptr, "\xED\xA0\x80"}, // a surrogate
    };
    for (const auto &c : cases) {
        std::string text, refused;
        EXPECT_EQ(windows_1252_from_utf8(c.utf8, text, refused), c.text != nullptr) << c.utf8;
        if (c.text)
            EXPECT_EQ(text, c.text) << c.utf8;
        else
            EXPECT_EQ(refused, c.refused) << c.utf8;
    }
}

TEST(VersionStamp, ReportsAFileThatCannotBeOpened) {
    VersionStamp found = read_version_stamp(test_folder() / "absent.exe");
    EXPECT_FALSE(found.opened);
    EXPECT_FALSE(found.present);
}

} // namespace

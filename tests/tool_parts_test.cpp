// The command line's parts that decide what a hostile name can do: the
// escaping of names in text and JSON, and the walk's refusal of links.
#include <cerrno>

#include "fixtures.h"
#include "names.h"
#include "state.h"
#include "walk.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
constexpr bool windows = true;
#else
constexpr bool windows = false;
#endif

TEST(EscapedName, NamesThatCouldMisleadAreEscaped) {
    struct Case {
        std::string name, printed, on_windows;
    };
    const Case cases[] = {
        {"arc/plain", "arc/plain", "arc/plain"},
        {"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80",
         "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80"},
        {"x\narc/victim", "\\x\\narc/victim", "\\x\\narc/victim"},
        {"x\rarc/victim", "\\x\\rarc/victim", "\\x\\rarc/victim"},
        // A real backslash and n, against a line end above.
        {"literal\\n", "\\literal\\\\n", "literal\\n"},
        {"\\leading", "\\\\\\leading", "\\\\\\leading"},
        {"a\\b\n", "\\a\\\\b\\n", "\\a\\\\b\\n"},
        {std::string("nul\0x", 5), "\\nul\\x00x", "\\nul\\x00x"},
        {"esc\x1b[2J\x7f", "\\esc\\x1b[2J\\x7f", "\\esc\\x1b[2J\\x7f"},
        {"c1\xc2\x9b", "\\c1\\xc2\\x9b", "\\c1\\xc2\\x9b"},           // U+009B, a terminal's CSI
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0", "nbsp\xc2\xa0"},             // U+00A0 is printable
        {"latin1 caf\xe9", "\\latin1 caf\\xe9", "\\latin1 caf\\xe9"}, // not UTF-8
        {"overlong\xc0\xaf", "\\overlong\\xc0\\xaf", "\\overlong\\xc0\\xaf"},
        {"overlong\xe0\x80\xaf", "\\overlong\\xe0\\x80\\xaf", "\\overlong\\xe0\\x80\\xaf"},
        {"surrogate\xed\xa0\x80", "\\surrogate\\xed\\xa0\\x80", "\\surrogate\\xed\\xa0\\x80"},
        {"past\xf4\x90\x80\x80", "\\past\\xf4\\x90\\x80\\x80", "\\past\\xf4\\x90\\x80\\x80"},
        {"cut\xe2\x82", "\\cut\\xe2\\x82", "\\cut\\xe2\\x82"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(escaped_name(c.name), windows ? c.on_windows : c.printed) << c.name;
}

TEST(EscapedName, NoTwoNamesPrintAlike) {
    // Every name of up to two bytes, as a text line would show it.
    std::map<std::string, std::string> seen;
    for (int a = 0; a < 256; ++a)
        for (int b = -1; b < 256; ++b) {
            std::string name(1, static_cast<char>(a));
            if (b >= 0)
                name += static_cast<char>(b);
            std::string printed = escaped_name(name);
            EXPECT_EQ(printed.find_first_of("\n\r"), std::string::npos) << printed;
            auto [at, added] = seen.emplace(printed, name);
            EXPECT_TRUE(added) << "'" << name << "' and '" << at->second << "' both print as "
                               << printed;
        }
}

TEST(JsonString, AnyBytesGiveValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\n\x01\x7f", "\"\\u000a\\u0001\\u007f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {"caf\xe9", "\"caf\xef\xbf\xbd\""},
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (const auto &[text, json] : cases)
        EXPECT_EQ(json_string(text), json);
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            std::string text = {static_cast<char>(a), static_cast<char>(b)};
            std::string json = json_string(text);
            EXPECT_TRUE(is_utf8(json)) << hex_bytes(text);
            for (char c : json)
                EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << hex_bytes(text);
        }
    EXPECT_EQ(hex_bytes("caf\xe9"), "636166e9");
}

TEST(PathMatches, WildcardsStayWithinOneName) {
    struct Case {
        const char *pattern, *path;
        bool matches;
    } cases[] = {
        {"tmp*", "tmp", true},
        {"tmp*", "tmp.old", true},
        {"tmp*", "tmp/a", false},
        {"*/old", "2024/old", true},
        {"*/old", "old", false},
        {"*", "a/b", false},
        {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxbyy", false},
        {"*a*a*b", "aaaaaaaaab", true},
        {"?", "x", true},
        {"?", "", false},
        {"?", "/", false},
        {"[ab]", "b", true},
        {"[!ab]", "b", false},
        {"[a-c]x", "cx", true},
        {"[", "[", true},
        {"[]]", "]", true},
        {"caf\xe9*", "caf\xe9s", true},
        {"", "", true},
        {"a/", "a/", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(path_matches(c.pattern, c.path), c.matches)
            << "pattern " << c.pattern << ", path " << c.path;
    // Bytes past ASCII compare as bytes in a set's range.
    EXPECT_TRUE(path_matches("[\x80-\xff]", "\xe9"));
}

TEST(CsvField, NamesStayWholeAndNoCellIsAFormula) {
    const struct {
        std::string name, field;
    } cases[] = {
        {"arc/a", "\"arc/a\""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1", "\"'+1\""},
        {"-1", "\"'-1\""},
        {"@sum", "\"'@sum\""},
        {"\tx", "\"'\tx\""},
        {"\rx", "\"'\rx\""},
        {"a=b", "\"a=b\""},
        {"caf\xe9", "\"\\caf\\xe9\""},
        {"", "\"\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(csv_field(c.name), c.field) << c.name;
}

TEST(HtmlText, MarkupIsShownAsText) {
    EXPECT_EQ(html_text("<img src=x onerror=alert(1)>"), "&lt;img src=x onerror=alert(1)&gt;");
    EXPECT_EQ(html_text("Tom & Jerry's \"x\""), "Tom &amp; Jerry&#39;s &quot;x&quot;");
    EXPECT_EQ(html_text("caf\xe9"), "\\caf\\xe9");
}

TEST(PlaceOf, OneArchiveHasOnePlaceHoweverSpelled) {
#ifdef _WIN32
    const std::string folder = "C:\\work";
    const char *work = "C:/work";
#else
    const std::string folder = "/work";
    const char *work = "/work";
#endif
    for (const char *name : {"arc", "./arc/", "arc//", "./arc/./", "x/../arc"})
        EXPECT_EQ(place_of(folder, name), std::string(work) + "/arc") << name;
    EXPECT_EQ(place_of(folder, "."), work);
    EXPECT_EQ(place_of(folder, "../up"),
              std::string(work).substr(0, std::string(work).size() - 5) + "/up");
    EXPECT_EQ(place_of("", "./arc/"), "arc");
    EXPECT_EQ(place_of("", "../arc"), "../arc");
    EXPECT_EQ(place_of("", "."), ".");
    EXPECT_EQ(place_of("/elsewhere", "/srv//arc/"), "/srv/arc");
    EXPECT_TRUE(place_within("/srv/arc/r1", "/srv/arc"));
    EXPECT_TRUE(place_within("/srv/arc", "/srv/arc"));
    EXPECT_FALSE(place_within("/srv/archive/r1", "/srv/arc"));
    EXPECT_TRUE(place_within("/srv/arc", "/"));
    EXPECT_TRUE(place_within("arc/r1", "."));
    EXPECT_FALSE(place_within("../arc", "."));
}

TEST(IsoDate, SecondsSince1970AreUtc) {
    EXPECT_EQ(iso_date(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(iso_date(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(iso_date(1796875200), "2026-12-10T04:00:00Z");
    EXPECT_EQ(iso_date(4102444799), "2099-12-31T23:59:59Z");
    EXPECT_EQ(iso_date(-1), "1969-12-31T23:59:59Z");
}

#ifdef _WIN32

TEST(LongPath, PathsGetTheLongForm) {
    EXPECT_EQ(long_path(L"C:\\a\\b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(long_path(L"C:/a/./c/../b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(long_path(L"\\\\server\\share\\x"), L"\\\\?\\UNC\\server\\share\\x");
    EXPECT_EQ(long_path(L"\\\\?\\C:\\ends in a dot."), L"\\\\?\\C:\\ends in a dot.");
    std::wstring relative = long_path(L"arc\\release");
    EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
    EXPECT_EQ(relative.find(L':'), 5u);
    EXPECT_EQ(relative.substr(relative.size() - 12), L"\\arc\\release");
    // A path of 300 characters keeps every one of them.
    std::wstring deep = L"C:";
    for (int i = 0; i < 30; ++i)
        deep += L"\\folder" + std::to_wstring(100 + i);
    EXPECT_EQ(long_path(deep), L"\\\\?\\" + deep);
}

#else

TEST(Walk, AFolderSwappedForALinkAfterListingIsNotFollowed) {
    fs::path root = test_folder();
    fs::create_directories(root / "tree" / "release");
    fs::create_directories(root / "elsewhere");
    write_file(root / "elsewhere" / "qor.nfo", "outside the tree");
    int error = 0;
    Folder tree = open_operand_folder((root / "tree").string(), error);
    ASSERT_TRUE(tree) << error;
    std::vector<FolderEntry> entries;
    ASSERT_EQ(list_folder(tree, entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "release");
    EXPECT_TRUE(entries[0].folder);

    // Between the listing and the opening, the folder becomes a link.
    fs::remove(root / "tree" / "release");
    fs::create_directory_symlink(root / "elsewhere", root / "tree" / "release");
    EXPECT_FALSE(open_subfolder(tree, "release", error));
    EXPECT_EQ(error, ELOOP);
    EXPECT_EQ(walk_error_text(error), "a symbolic link, not followed");

    // Listed again, the link is no folder of the walk.
    entries.clear();
    ASSERT_EQ(list_folder(tree, entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].folder);
}

TEST(Walk, FilesAreOpenedThroughTheFolderHandle) {
    fs::path root = test_folder();
    fs::create_directories(root / "release");
    write_file(root / "release" / "qor.nfo", genuine(filler(6000)));
    int error = 0;
    Folder release = open_subfolder(open_operand_folder(root.string(), error), "release", error);
    ASSERT_TRUE(release);
    // Moved away after opening: the handle still reaches the file.
    fs::rename(root / "release", root / "moved");
    const char *why = nullptr;
    std::FILE *f = open_file_in(release, "qor.nfo", &why);
    ASSERT_TRUE(f) << why;
    std::fclose(f);
    EXPECT_FALSE(open_file_in(release, "absent", &why));
    EXPECT_STREQ(why, "No such file or directory");
}

#endif

} // namespace

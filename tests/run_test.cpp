#include <utility>
#include <vector>

#include "fixtures.h"

namespace {

using Updates = std::vector<std::pair<int, std::string>>;

void record(void *dialog, int control_id, const char *text) {
    static_cast<Updates *>(dialog)->emplace_back(control_id, text);
}

Updates run_on(const fs::path &path, bool *genuine = nullptr) {
    Updates updates;
    bool result = run_verification({record, &updates}, path);
    if (genuine)
        *genuine = result;
    return updates;
}

// The updates of a run that ends at stage `last` (1 to 5), passing the
// stages before it and `last` itself when `passed`.
Updates expected(int last, bool passed) {
    Updates u;
    for (int stage = 0; stage < last; ++stage) {
        const StatusLine &line = status_lines[stage];
        bool ok = stage + 1 < last || passed;
        u.emplace_back(line.control_id, line.stage_text);
        u.emplace_back(line.control_id,
                       std::string(line.stage_text) + (ok ? "passed." : "failed."));
    }
    const Verdict &v = passed ? passed_verdict : failed_verdict;
    u.emplace_back(107, v.line);
    u.emplace_back(112, v.detail);
    u.emplace_back(111, v.button);
    return u;
}

TEST(RunVerification, MissingFileMakesFiveUpdates) {
    const Updates five = {
        {102, "Checking for presence of QOR.NFO... "},
        {102, "Checking for presence of QOR.NFO... failed."},
        {107, "This is NOT a certified genuine QOR release."},
        {112, "Please report this release to Quenvaris!"},
        {111, "Damn!"},
    };
    bool genuine = true;
    EXPECT_EQ(run_on(test_folder() / "qor.nfo", &genuine), five);
    EXPECT_FALSE(genuine);
}

TEST(RunVerification, GenuineFileMakesThirteenUpdates) {
    const Updates thirteen = {
        {102, "Checking for presence of QOR.NFO... "},
        {102, "Checking for presence of QOR.NFO... passed."},
        {103, "Checking length of QOR.NFO... "},
        {103, "Checking length of QOR.NFO... passed."},
        {104, "Searching for QOR marker... "},
        {104, "Searching for QOR marker... passed."},
        {105, "Retrieving QOR authentication information... "},
        {105, "Retrieving QOR authentication information... passed."},
        {108, "Verifying QOR authentication information... "},
        {108, "Verifying QOR authentication information... passed."},
        {107, "This is a certified genuine QOR release."},
        {112, "Thankyou for supporting QOR!"},
        {111, "Sweet!"},
    };
    fs::path path = test_folder() / "qor.nfo";
    write_file(path, genuine(filler(7000)));
    bool genuine = false;
    EXPECT_EQ(run_on(path, &genuine), thirteen);
    EXPECT_TRUE(genuine);
    // A second run sets the same texts: nothing carries over.
    EXPECT_EQ(run_on(path), thirteen);
}

TEST(RunVerification, EndsAtTheFirstFailingStage) {
    std::string good = genuine(filler(7000));
    std::string bad_code = good;
    bad_code[good.size() - 10] = 'O';
    std::string misfit = good;
    misfit[good.size() - 18] = misfit[good.size() - 18] == '2' ? '3' : '2';
    std::string flipped = good;
    flipped[500] ^= 1;
    const struct {
        const char *what;
        std::string bytes;
        int last;
        bool passed;
    } cases[] = {
        {"5999 bytes", filler(5999 - trailer_length) + trailer(), 2, false},
        {"6000 bytes without a marker", filler(6000), 3, false},
        {"6000 bytes, genuine", genuine(filler(6000 - trailer_length)), 5, true},
        {"one byte appended", good + "\n", 3, false},
        {"last byte removed", good.substr(0, good.size() - 1), 3, false},
        {"zero byte in the marker", std::string(good).replace(good.size() - 50, 1, 1, '\0'), 3,
         false},
        {"marker in lower case",
         filler(7000) + "qor authenticity verification information: " + "2222222222222222\r\n", 3,
         false},
        {"marker without its blank",
         filler(7000) + "QOR Authenticity Verification Information:" + "22222222222222222\r\n", 3,
         false},
        {"O in the code", bad_code, 4, false},
        {"a code that does not fit", misfit, 5, false},
        {"a bit flipped in the content", flipped, 5, false},
        {"closing bytes 00 00", genuine(filler(7000), std::string(2, '\0')), 5, true},
        {"closing bytes blanks", genuine(filler(7000), "  "), 5, true},
        {"zero bytes in the content", genuine(std::string(3000, '\0') + filler(4000)), 5, true},
        {"an earlier marker first", genuine(filler(7000)).replace(100, 43, marker_text), 5, false},
        {"the trailer's marker across a boundary: the code is summed too",
         genuine(filler(6204 - trailer_length)), 5, false},
    };
    fs::path path = test_folder() / "qor.nfo";
    for (const auto &c : cases) {
        write_file(path, c.bytes);
        EXPECT_EQ(run_on(path), expected(c.last, c.passed)) << c.what;
    }
}

TEST(RunVerification, RefusesWhatIsNotARegularFile) {
    fs::path folder = test_folder() / "qor.nfo";
    fs::create_directory(folder);
    EXPECT_EQ(run_on(folder), expected(1, false));
}

TEST(RunVerification, ClosesTheFileWhenItEnds) {
    fs::path path = test_folder() / "qor.nfo";
    write_file(path, genuine(filler(7000)));
    run_on(path);
    // Windows refuses to rename a file that is still open.
    fs::path moved = path.parent_path() / "moved.nfo";
    std::error_code ec;
    fs::rename(path, moved, ec);
    EXPECT_FALSE(ec) << ec.message();
}

TEST(RunVerification, MeasuresAndReadsFilesPast4GiB) {
    // Sparse: 4 GiB + 7000 bytes, a trailer with a bad symbol at its end. With
    // 32-bit positions the size would read as 7000 and the marker be missed.
    fs::path path = test_folder() / "qor.nfo";
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp((std::int64_t{1} << 32) + 7000 - static_cast<std::int64_t>(trailer_length));
        std::string t = trailer("222222222222222a");
        out.write(t.data(), static_cast<std::streamsize>(t.size()));
    }
    ASSERT_EQ(fs::file_size(path), (std::uint64_t{1} << 32) + 7000);
    EXPECT_EQ(run_on(path), expected(4, false));
    fs::remove(path);
}

} // namespace

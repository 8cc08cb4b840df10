// The release pipeline's parts, reached without a shell: the order in which
// releases are found (with and without reading ahead in a walk), the
// ordered pool that prints them, and the one number parser of the options.
#include "fixtures.h"
#include "options.h"
#include "pool.h"
#include "progress.h"
#include "releases.h"

namespace {

TEST(ParseNumber, DigitsInRangeOnly) {
    struct Case {
        const char *text;
        std::uint64_t lowest, highest;
        bool taken;
        std::uint64_t n;
    };
    const Case cases[] = {
        {"0", 0, 256, true, 0},
        {"256", 0, 256, true, 256},
        {"257", 0, 256, false, 0},
        {"0", 1, 256, false, 0},
        {"", 0, 9, false, 0},
        {"-1", 0, 9, false, 0},
        {"+1", 0, 9, false, 0},
        {" 1", 0, 9, false, 0},
        {"1 ", 0, 9, false, 0},
        {"12abc", 0, 99, false, 0},
        {"007", 0, 9, true, 7},
        {"18446744073709551616", 0, UINT64_MAX, false, 0},
        {"9223372036854775807", 1, INT64_MAX, true, INT64_MAX},
    };
    for (const Case &c : cases) {
        std::uint64_t n = 0;
        EXPECT_EQ(parse_number(c.text, c.lowest, c.highest, n), c.taken) << '"' << c.text << '"';
        EXPECT_EQ(n, c.n) << '"' << c.text << '"';
    }
}

// A tree of releases: their names as a walk from `root` finds them.
std::vector<std::string> make_archive(const fs::path &root, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const std::string name = std::string("r").append(std::to_string(1000 + i));
        fs::create_directories(root / name / "deeper");
        write_file(root / name / "qor.nfo",
                   std::string("not a release ").append(std::to_string(i)));
        names.push_back(joined(root.string(), name));
        if (i % 3 == 0) { // one level down too, found after its parent
            write_file(root / name / "deeper" / "QOR.NFO", "below");
            names.push_back(joined(names.back(), "deeper"));
        }
    }
    fs::create_directories(root / "zz-empty");
    return names;
}

Settings settings_with(unsigned jobs) {
    Settings settings;
    settings.recursive = true;
    settings.jobs = jobs;
    settings.keys.push_back({build_key, "build"});
    return settings;
}

std::vector<std::string> found(Releases &releases) {
    std::vector<std::string> names;
    for (Release release; releases.next(release);)
        names.push_back(release.name);
    return names;
}

TEST(Releases, AWalkIsDepthFirstInSortedOrderWithOrWithoutReadingAhead) {
    const fs::path root = test_folder();
    const std::vector<std::string> names = make_archive(root / "arc", 40);
    const Settings settings = settings_with(1);
    for (std::size_t reach : {0, 1, 7, 128}) {
        Releases releases(settings, {(root / "arc").string()}, reach);
        EXPECT_EQ(found(releases), names) << "reach " << reach;
    }
}

TEST(Releases, ReadingAheadStopsWhereAWalkEnds) {
    const fs::path root = test_folder();
    const std::vector<std::string> first = make_archive(root / "one", 5);
    const std::vector<std::string> second = make_archive(root / "two", 5);
    fs::create_directories(root / "none");
    std::vector<std::string> all = first;
    all.push_back((root / "none").string()); // a walk that finds nothing says so, in its place
    all.insert(all.end(), second.begin(), second.end());
    const Settings settings = settings_with(1); // held by reference: it outlives them
    Releases releases(
        settings, {(root / "one").string(), (root / "none").string(), (root / "two").string()}, 64);
    EXPECT_EQ(found(releases), all);
}

TEST(Pool, JudgementsComeInTheOrderOfTheReleasesAndStopWhenPrintingFails) {
    const fs::path root = test_folder();
    const std::vector<std::string> names = make_archive(root / "arc", 150);
    for (unsigned jobs : {1u, 2u, 5u}) {
        const Settings settings = settings_with(jobs);
        Releases releases(settings, {(root / "arc").string()});
        Progress progress(false, 0, 0);
        std::vector<std::string> printed;
        check_all(releases, settings, progress, [&](const Judgement &j) {
            printed.push_back(j.name);
            return true;
        });
        EXPECT_EQ(printed, names) << jobs << " jobs";
        EXPECT_EQ(progress.releases, names.size());

        // Output that cannot be written ends the run: nothing more is printed.
        Releases again(settings, {(root / "arc").string()});
        std::size_t calls = 0;
        check_all(again, settings, progress, [&](const Judgement &) { return ++calls < 10; });
        EXPECT_EQ(calls, 10u) << jobs << " jobs";
    }
}

} // namespace

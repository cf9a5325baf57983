#include "FindMeteors.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "core/Night.h"
#include "meteors/MeteorOptions.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>

namespace {

// A short sky of a few seconds with only what a case puts in it.
MeteorSkySettings quietSky() {
    MeteorSkySettings s;
    s.size = {240, 180};
    s.seconds = 12;
    s.meteors = s.planes = s.satellites = s.clouds = 0;
    s.flashes.clear();
    s.stars = 20;
    return s;
}

}  // namespace

// Seeded nights of stars, meteors, blinking planes, satellites, a lit cloud
// and a flash (kept out), replayed through the loop: the meteors clearly
// above the trail are found, timed to the image and placed to the pixel,
// and little else is.
TEST(Meteors, SyntheticNightsFoundTimedAndPlaced) {
    TempWorkingDir dir;
    int bright = 0, found = 0, falseOnes = 0, timed = 0, all = 0;
    for (const uint64_t seed : {1, 4}) {
        MeteorSkySettings settings;
        settings.seed = seed;
        settings.minAmplitude = 45;  // well above the noise the trail keeps
        const MeteorSky sky(settings);
        const std::string folder = std::to_string(seed);
        std::filesystem::create_directory(folder);
        const std::vector<Meteor> meteors = findMeteors(sky, MeteorRules{}, folder, true);
        const MeteorScore score = scoreMeteors(sky, meteors);
        bright += score.bright, found += score.brightFound, falseOnes += score.falseOnes;
        timed += score.timedWell, all += score.found;
        for (size_t k = 1; k < meteors.size(); ++k)
            EXPECT_LE(meteors[k - 1].startMillis, meteors[k].startMillis) << "in time order";
    }
    std::printf("found %d of %d, %d others, %d of %d timed well\n", found, bright, falseOnes, timed, all);
    EXPECT_GE(found, bright * 9 / 10) << found << " of " << bright;
    EXPECT_LE(falseOnes, 2) << "of " << all;
    EXPECT_GE(timed, all * 8 / 10) << timed << " of " << all;
}

// One streak at a time: what is a meteor and what is not.
TEST(Meteors, StreaksJudged) {
    TempWorkingDir dir;
    struct Case {
        const char* name;
        std::function<void(MeteorSkySettings&)> sky;
        bool keepFlashesOut;
        int meteors;
    };
    const Case cases[] = {
        // Across the tick of 5.04 s: one meteor, not two, from where it began.
        {"across a tick",
         [](MeteorSkySettings& s) {
             s.placed.push_back({4.9, 0.4, {20, 30}, {200, 150}, 90});
         },
         false, 1},
        {"backwards",
         [](MeteorSkySettings& s) {
             s.placed.push_back({6.3, 0.6, {220, 160}, {40, 20}, 70});
         },
         false, 1},
        // Where it crosses a brighter one's trail it does not rise: still one.
        {"across a trail",
         [](MeteorSkySettings& s) {
             s.placed.push_back({2.0, 1.0, {10, 90}, {230, 90}, 200});
             s.placed.push_back({6.1, 0.5, {120, 20}, {120, 170}, 60});
         },
         false, 2},
        // 30 pixels a second, under the slowest meteor: a satellite seen briefly.
        {"too slow",
         [](MeteorSkySettings& s) {
             s.placed.push_back({3.0, 2.4, {40, 40}, {100, 80}, 80});
         },
         false, 0},
        {"a blinking plane", [](MeteorSkySettings& s) { s.planes = 1, s.seconds = 40; }, false, 0},
        {"satellites", [](MeteorSkySettings& s) { s.satellites = 2, s.seconds = 40; }, false, 0},
        {"a flash, let in", [](MeteorSkySettings& s) { s.flashes = {5}; }, false, 0},
        {"a flash, kept out", [](MeteorSkySettings& s) { s.flashes = {5}; }, true, 0},
        {"a lit cloud", [](MeteorSkySettings& s) { s.clouds = 1, s.seconds = 30; }, false, 0},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // A meteor across a satellite's path 0.8, 1.6 and 2.4 s into it (young
    // pieces, both moving, each its own way) or 4 s: one meteor each time.
    for (const double into : {0.8, 1.6, 2.4, 4.0})
        all.push_back({"across a young satellite",
                       [into](MeteorSkySettings& s) {
                           s.placedSatellites.push_back({1.0, 10.0, {20, 90}, {15, 0}, 60, 1});
                           const double x = 20 + 15 * into;
                           s.placed.push_back({1.0 + into - 0.25, 0.5, {x, 20}, {x, 170}, 90});
                       },
                       false, 1});
    // With the time map of the big rises the loop keeps for meteors, and
    // with that of every rise --time-map keeps.
    for (const bool everyRise : {false, true})
        for (const Case& c : all) {
            const std::string folder =
                std::string(c.name) + (everyRise ? " every rise " : " ") + std::to_string(&c - all.data());
            SCOPED_TRACE(folder);
            MeteorSkySettings settings = quietSky();
            c.sky(settings);
            const MeteorSky sky(settings);
            std::filesystem::create_directory(folder);
            const std::vector<Meteor> found =
                findMeteors(sky, MeteorRules{}, folder, c.keepFlashesOut, nullptr, everyRise);
            std::vector<const TrueMeteor*> expected;
            for (const TrueMeteor& m : sky.meteors())
                if (m.length() > 20) expected.push_back(&m);
            ASSERT_EQ(static_cast<int>(found.size()), c.meteors);
            for (size_t k = 0; k < found.size(); ++k) {
                const TrueMeteor& truth = *expected[k];
                EXPECT_LE(cv::norm(cv::Point2d(found[k].from) - truth.from), 3) << meteorJson(found[k]);
                EXPECT_LE(cv::norm(cv::Point2d(found[k].to) - truth.to), 3) << meteorJson(found[k]);
                EXPECT_EQ(found[k].startMillis, truth.startMillis);
                EXPECT_EQ(found[k].endMillis, truth.endMillis);
                EXPECT_EQ(found[k].frames, (truth.endMillis - truth.startMillis) / 40 + 1);
                EXPECT_NEAR(found[k].speed, truth.length() / truth.seconds,
                            truth.length() / truth.seconds / 5);
                EXPECT_NEAR(found[k].peak, truth.amplitude, 10);
            }
        }
}

// The night's file: rewritten whole and atomically at each meteor, taken
// up by a later run of the same night, kept aside when it cannot be read;
// the subcommand prints it as CSV.
TEST(Meteors, NightFileTakenUpKeptAsideAndListed) {
    TempWorkingDir dir;
    MeteorSkySettings first = quietSky();
    first.placed.push_back({4.9, 0.4, {20, 30}, {200, 150}, 90});
    MeteorSkySettings second = first;
    second.startMillis += 60000;  // a minute later, the same night
    const MeteorSky one(first), two(second);
    const std::string night = nightOf(one.millis(0)), path = productBase(kMeteors, night) + ".json";
    ASSERT_EQ(findMeteors(one, MeteorRules{}, ".").size(), 1u);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const std::vector<Meteor> both = findMeteors(two, MeteorRules{}, ".");
    ASSERT_EQ(both.size(), 2u);
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "replaced by a rename, not written in place";
    const Result<std::vector<Meteor>> read = readMeteorFile(path);
    ASSERT_TRUE(read) << read.reason();
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ(meteorJson((*read)[1]), meteorJson(both[1]));
    EXPECT_EQ((*read)[0].startMillis, one.meteors()[0].startMillis);

    // The subcommand, on the latest night.
    char* out = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&out, &size);
    EXPECT_EQ(runMeteorList({true, ".", std::nullopt}, stream, stderr), 0);
    std::fclose(stream);
    const std::string csv(out, size);
    std::free(out);
    EXPECT_EQ(csv, std::string(kMeteorCsvHeader) + "\n" + meteorCsv((*read)[0]) + "\n" +
                       meteorCsv((*read)[1]) + "\n");
    EXPECT_EQ(csv.substr(csv.find('\n') + 1, 50), utcTimeMillis(one.meteors()[0].startMillis) + "," +
                                                      utcTimeMillis(one.meteors()[0].endMillis) + ",");

    // A file that cannot be read is kept as it is; the night goes on beside it.
    std::ofstream(path) << "[{\"start\":";
    CapturedStream err;
    const std::vector<Meteor> aside = findMeteors(one, MeteorRules{}, ".", false, err.file);
    EXPECT_EQ(textOf(path), "[{\"start\":");
    const std::vector<std::string> said = err.lines();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0], "meteors: ./" + path + " is no JSON array: keeping it, going on in ./" +
                           productBase(kMeteors, night) + "-2.json");
    EXPECT_EQ(said[1].rfind("meteor at " + utcTimeMillis(one.meteors()[0].startMillis) + ": from (", 0), 0u);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(readMeteorFile(productBase(kMeteors, night) + "-2.json"));
    CapturedStream none;
    EXPECT_EQ(runMeteorList({true, ".", "1999-01-01"}, none.file, none.file), 1);
    EXPECT_EQ(none.lines(), std::vector<std::string>{"trailcam: no meteors of the night 1999-01-01 in ."});
    CapturedStream nowhere;
    EXPECT_EQ(runMeteorList({true, "nowhere", std::nullopt}, nowhere.file, nowhere.file), 1);
    EXPECT_EQ(nowhere.lines(),
              std::vector<std::string>{"trailcam: cannot read nowhere: No such file or directory"});
    // A night with a file that cannot be read: the others' meteors listed, it named, status 1.
    CapturedStream listed, bad;
    EXPECT_EQ(runMeteorList({true, ".", night}, listed.file, bad.file), 1);
    EXPECT_EQ(listed.lines(), (std::vector<std::string>{kMeteorCsvHeader, meteorCsv(aside[0])}));
    EXPECT_EQ(bad.lines(), std::vector<std::string>{"trailcam: ./" + path +
                                                    " is no JSON array: its meteors are not listed"});
    // A file too large to be read and rewritten on the loop's thread is kept aside too.
    std::ofstream(path) << "[" << std::string(5 << 20, ' ') << "]";
    EXPECT_EQ(readMeteorFile(path).reason(), path + " is larger than 4 MB");
}

// What is read back is what can be written again: numbers that are not
// finite or out of range are refused; a clip's name cannot forge CSV
// columns, rows or a spreadsheet's formula.
TEST(Meteors, FilesAndCsvHoldOnlyWhatReadsBack) {
    const std::string good =
        R"({"start":"2026-12-07T22:00:00.000Z","end":"2026-12-07T22:00:00.500Z","from":[1,2],"to":[3,4],)"
        R"("frames":5,"length":60,"speed":120,"peak":40,"clip":null})";
    ASSERT_TRUE(meteorOf(good));
    for (const auto& [from, to] :
         std::vector<std::pair<std::string, std::string>>{{"[1,2]", "[1e39,2]"},
                                                          {"[3,4]", "[3,-1e39]"},
                                                          {"\"frames\":5", "\"frames\":1e12"},
                                                          {"\"peak\":40", "\"peak\":-3000000000"},
                                                          {"\"speed\":120", "\"speed\":1e400"}}) {
        std::string bad = good;
        bad.replace(bad.find(from), from.size(), to);
        EXPECT_FALSE(meteorOf(bad)) << bad;
    }
    for (const auto& [clip, field] :
         std::vector<std::pair<std::string, std::string>>{{"20261207-220000000", "20261207-220000000"},
                                                          {"a,b", "\"a,b\""},
                                                          {"two\nrows", "\"two\nrows\""},
                                                          {"say \"hi\"", "\"say \"\"hi\"\"\""},
                                                          {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
                                                          {"+1", "'+1"},
                                                          {"-1", "'-1"},
                                                          {"@sum", "'@sum"}}) {
        Meteor meteor = *meteorOf(good);
        meteor.clip = clip;
        const std::string csv = meteorCsv(meteor);
        EXPECT_EQ(csv.substr(csv.size() - field.size()), field) << clip;
        EXPECT_EQ(csvField(clip), field);
    }
}

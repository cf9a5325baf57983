#include "LoopParts.h"
#include "core/Sidecar.h"
#include "sun/SunOptions.h"

#include <gtest/gtest.h>

#include <cmath>

// Dusk and dawn at known places against the NOAA solar calculator's
// algorithm (an independent computation, to the second): within a minute,
// one image of a camera that takes one a minute; none within two days in a
// polar night.
TEST(Sun, TwilightAtKnownPlacesWithinAMinute) {
    struct Case {
        const char* what;
        double latitude, longitude, limit;
        int64_t from, expected;  // Unix seconds; 0: no change
        bool dayAtFrom;
    };
    for (const Case& c : std::vector<Case>{
             {"Vienna, civil dusk", 48.2, 16.4, -6, 1796652000, 1796657812, true},
             {"Vienna, civil dawn", 48.2, 16.4, -6, 1796680800, 1796709336, false},
             {"Sydney, civil dusk", -33.87, 151.21, -6, 1796601600, 1796635497, true},
             {"Tromso, civil twilight at noon", 69.65, 18.96, -6, 1796680800, 1796717390, false},
             {"Tromso, polar night", 69.65, 18.96, 0, 1796680800, 0, false}}) {
        const SunDaylight sun(c.latitude, c.longitude, c.limit);
        EXPECT_EQ(sun.isDay(c.from * 1000), c.dayAtFrom) << c.what;
        const int64_t next = sun.nextChange(c.from * 1000);
        if (c.expected == 0) {
            EXPECT_EQ(next, 0) << c.what;
            continue;
        }
        EXPECT_NEAR(static_cast<double>(next) / 1000, static_cast<double>(c.expected), 60) << c.what;
        // Asked again on either side of the change (the answer is kept between).
        EXPECT_EQ(sun.isDay(next - 2000), c.dayAtFrom) << c.what;
        EXPECT_EQ(sun.isDay(next + 2000), !c.dayAtFrom) << c.what;
        EXPECT_EQ(sun.isDay(c.from * 1000 + 1000), c.dayAtFrom) << c.what;
    }
}

namespace {

// Night from 100 s to 200 s and from 300 s on, of image time.
struct ScriptedSky : Daylight {
    bool isDay(int64_t millis) const override {
        return millis < 100000 || (millis >= 200000 && millis < 300000);
    }
    int64_t nextChange(int64_t millis) const override {
        for (int64_t change : {100000, 200000, 300000})
            if (millis < change) return change;
        return 0;
    }
};

}  // namespace

// status.json's member as of the latest tick. (The lines at dawn and dusk,
// and that only the night's images make trails, are checked end to end.)
TEST(Sun, TheSkyInTheStatus) {
    setenv("TZ", "UTC", 1), tzset();
    ScriptedSky sky;
    CapturedStream out;
    SkyReport report(sky, -6, out.file);
    EXPECT_EQ(report.statusJson(), "\"sky\":null");
    report.dawn(0);
    report.ticked({{}, {cv::Mat(), 50000}, {}, {}, {}});
    EXPECT_EQ(report.statusJson(), "\"sky\":{\"state\":\"day\",\"next\":\"1970-01-01T00:01:40Z\"}");
    report.dusk(100000);
    report.ticked({{}, {cv::Mat(), 150000}, {}, {}, {}});
    EXPECT_EQ(report.statusJson(), "\"sky\":{\"state\":\"night\",\"next\":\"1970-01-01T00:03:20Z\"}");
    report.ticked({{}, {cv::Mat(), 350000}, {}, {}, {}});
    EXPECT_EQ(report.statusJson(), "\"sky\":{\"state\":\"night\",\"next\":null}");
    unsetenv("TZ"), tzset();
}

// With the camera let go of by day: closed at the first day image, the day
// waited out (keys heard, the loop saying it is alive), opened again at dusk.
TEST(Sun, ByDayTheCameraIsClosedAndOpenedAgainAtDusk) {
    struct DuskCamera : SyntheticCamera {
        bool reopen() override {
            now = 100000;  // its clock: dusk
            return SyntheticCamera::reopen();
        }
    };
    struct Alive : TrailListener {
        int told = 0;
        void waitingForCamera() override { ++told; }
    } alive;
    ScriptedSky sky;
    LoopParts<DuskCamera> parts;
    DuskCamera& camera = parts.camera;
    camera.step = 10000;
    camera.budget = 5;  // start-up takes some
    camera.reopenedBudget = 3;
    TrailChoices choices;
    choices.daylight = &sky;
    choices.dayCloseCamera = true;
    choices.saveOnExit = true;
    TrailLoop loop(parts.inputs(), choices, {&alive, &parts.snapshots});
    loop.run(parts.source);
    EXPECT_EQ(camera.reopens, 1);
    // Start-up took the images of 0 to 20 s: the loop's first, at 30 s, closes
    // the camera, and 70 s are waited, in polls of 0.1 s, alive each second.
    EXPECT_NEAR(parts.display.polls, 700, 10);
    EXPECT_EQ(alive.told, 70);
    ASSERT_EQ(parts.snapshots.made.size(), 1u);
    EXPECT_EQ(parts.snapshots.made[0].span.startMillis, 100000) << "the night's images only";

    // Closed in tomorrow's day (its dusk at 300 s), the wall clock set back
    // to tonight after 2 s: the camera opens at once, not at that dusk.
    LoopParts<DuskCamera> setBack;
    setBack.camera.now = 200000;
    setBack.camera.step = 10000;
    setBack.camera.budget = 5;
    setBack.camera.reopenedBudget = 1;
    TrailInputs inputs = setBack.inputs();
    const int& polls = setBack.display.polls;
    inputs.wallMillis = [&polls] { return (polls < 20 ? 230000 : 150000) + polls * 100; };
    TrailLoop again(inputs, choices, {});
    again.run(setBack.source);
    EXPECT_EQ(setBack.camera.reopens, 1);
    EXPECT_LT(setBack.display.polls, 100);
}

#include "Fakes.h"
#include "clips/ClipRecorder.h"
#include "core/FileNames.h"
#include "core/Json.h"
#include "core/StoredFrames.h"
#include "platform/MjpegVideo.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <fstream>
#include <regex>
#include <tuple>

namespace {

constexpr int64_t kStart = 1796681600000;  // 2026-12-07T22:13:20.000Z

// Images 100 ms apart for 10 s, a tick every second; the ticks at the given
// seconds grow the trail by a 3 x 3 dot at (20, 10), the others not at all.
// From `smallerFrom` on, the camera delivers 32 x 24 instead of 64 x 48.
// With `sent`, the camera sends JPEGs (a Motion-JPEG camera or video): their
// bytes are kept there.
void scriptedRun(ClipRecorder& clips, const std::vector<int>& eventSeconds, int64_t smallerFrom = INT64_MAX,
                 std::vector<std::vector<uchar>>* sent = nullptr) {
    cv::Mat trail(48, 64, CV_8UC3, cv::Scalar::all(0));
    for (int64_t t = 0; t <= 10000; t += 100) {
        const cv::Size size = t >= smallerFrom ? cv::Size(32, 24) : cv::Size(64, 48);
        Frame frame{movingDotImage(static_cast<int>(t / 100), size), kStart + t};
        if (sent != nullptr) {
            sent->emplace_back();
            cv::imencode(".jpg", frame.image, sent->back(), {cv::IMWRITE_JPEG_QUALITY, 40});
            frame.jpeg = std::make_shared<const std::vector<uchar>>(sent->back());
        }
        if (trail.size() != size) trail = cv::Mat(size, CV_8UC3, cv::Scalar::all(0));
        if (t % 1000 == 0) {
            const bool event = std::count(eventSeconds.begin(), eventSeconds.end(), t / 1000) > 0;
            if (event) trail(cv::Rect(20, 10, 3, 3)) += cv::Scalar::all(50);
            clips.ticked({{0, 0, event ? 2295 : 0, 0, false, 0}, frame, trail.clone(), {}, {}});
        }
        clips.framed(frame);
    }
    clips.ended();
}

}  // namespace

// Events at 4 s and 5 s make one clip, from a second before the second the
// first measured (3 s - 1 s) to a second after the last: 41 images. The
// event at 9 s makes its own, from 7 s to the last image at 10 s. Images
// that came as JPEGs are kept as they came: the source's own bytes.
TEST(Clips, AClipHoldsTheImagesAroundItsEventsAndOverlappingEventsShareOne) {
    TempWorkingDir dir;
    CapturedStream err;
    ClipRecorder clips({"clips", 1, 1, 2000, 64 << 20, true}, err.file);
    std::vector<std::vector<uchar>> sent;
    scriptedRun(clips, {4, 5, 9}, INT64_MAX, &sent);
    EXPECT_EQ(err.text(), "");
    for (const auto& [name, first, last] : std::vector<std::tuple<std::string, int64_t, int64_t>>{
             {"20261207-221322000", 2000, 6000}, {"20261207-221327000", 7000, 10000}}) {
        EXPECT_EQ(imagesIn("clips/" + name + ".avi"), static_cast<int>((last - first) / 100 + 1)) << name;
        std::string times;
        for (int64_t t = first; t <= last; t += 100)
            times += (times.empty() ? "" : ",") + std::to_string(kStart + t);
        const std::string json = textOf("clips/" + name + ".json");
        EXPECT_EQ(json.rfind("{\"times\":[" + times + "],\"frames\":[[", 0), 0u) << json;
        EXPECT_NE(json.find("\"box\":[20,10,3,3],\"gaps\":0}"), std::string::npos) << json;
        // Each image where the JSON says it is, as the source sent it.
        const std::optional<StoredFrames> stored = storedFramesOf(*parseJson(json));
        ASSERT_TRUE(stored && stored->frames.size() == stored->times.size()) << json;
        const std::string video = textOf("clips/" + name + ".avi");
        MjpegPackets clip;
        ASSERT_TRUE(clip.open("clips/" + name + ".avi"));
        for (int64_t t = first, i = 0; t <= last; t += 100, ++i) {
            const auto packet = clip.next();
            const std::vector<uchar>& jpeg = sent[static_cast<size_t>(t / 100)];
            ASSERT_TRUE(packet && *packet->jpeg == jpeg) << name << " " << t;
            const StoredFrames::Place& place = stored->frames[static_cast<size_t>(i)];
            EXPECT_EQ(video.substr(place.offset, place.size), std::string(jpeg.begin(), jpeg.end())) << t;
        }
    }
    EXPECT_NE(textOf("clips/20261207-221322000.json")
                  .find("\"events\":[{\"time\":\"2026-12-07T22:13:24.000Z\",\"diff\":2295},"
                        "{\"time\":\"2026-12-07T22:13:25.000Z\",\"diff\":2295}]"),
              std::string::npos);
    const std::vector<EventSeen> seen = clips.events();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0].clip == "20261207-221327000" && seen[2].clip == "20261207-221322000");
    EXPECT_EQ(seen[0].box, cv::Rect(20, 10, 3, 3));
    // Its thumbnail is the trail around it: 16 pixels on each side, within the image.
    EXPECT_EQ(
        cv::imdecode(std::vector<uchar>(seen[0].thumbnail.begin(), seen[0].thumbnail.end()), cv::IMREAD_COLOR)
            .size(),
        cv::Size(35, 29));
    uint64_t size = 0;
    EXPECT_GE(clips.openToServe("20261207-221322000.avi", size), 0);
    EXPECT_EQ(clips.openToServe("../clips/20261207-221322000.avi", size), -1);
}

// A ring too small for the seconds before an event leaves images out, says
// so once, and the clip counts them; an unwritable folder is one line, and
// nothing is left under a final name.
TEST(Clips, WhatCannotBeKeptOrWrittenIsSaidAndCounted) {
    TempWorkingDir dir;
    CapturedStream err, blockedErr;
    ClipRecorder tight({"clips", 2, 1, 2000, 4000, true}, err.file);  // a few images of memory
    scriptedRun(tight, {5});
    std::string json;
    for (const auto& file : std::filesystem::directory_iterator("clips"))
        if (file.path().extension() == ".json") json += textOf(file.path().string());
    std::smatch gaps;
    ASSERT_TRUE(std::regex_search(json, gaps, std::regex(R"(^\{"times":\[[0-9,]+\].*"gaps":([0-9]+)\}\n$)")))
        << json;
    EXPECT_GT(std::stoi(gaps[1]), 0);
    EXPECT_EQ(err.text(),
              "clips: --clip-memory is too small to keep the seconds before an event; the clips count "
              "what is missing\n");

    std::ofstream("blocked") << "a file where the folder should be";
    ClipRecorder blocked({"blocked", 1, 1, 2000, 64 << 20, true}, blockedErr.file);
    scriptedRun(blocked, {4});
    EXPECT_EQ(blockedErr.lines().size(), 1u);
    EXPECT_EQ(blockedErr.text().rfind("cannot write clip blocked/20261207-221322000.avi: ", 0), 0u)
        << blockedErr.text();
}

// Two replays of the same night into one folder: the second's clip goes
// beside the first's, which stays as it was, and both are the same bytes.
// A clip declares the rate its images' times give (10 a second here), even
// when it starts with the run's first image, before a second one came.
TEST(Clips, AClipNeverReplacesAnotherAndDeclaresItsImagesRate) {
    TempWorkingDir dir;
    CapturedStream err;
    const std::string first = "clips/20261207-221320000";
    std::string video, json;
    for (int run = 1; run <= 2; ++run) {
        ClipRecorder clips({"clips", 0, 1, 2000, 64 << 20, true}, err.file);
        scriptedRun(clips, {0});
        if (run == 1) video = textOf(first + ".avi"), json = textOf(first + ".json");
    }
    EXPECT_EQ(err.text(), "");
    EXPECT_FALSE(video.empty());
    for (const std::string& name : {first, first + "-2"}) {
        EXPECT_EQ(textOf(name + ".avi"), video) << name;
        EXPECT_EQ(textOf(name + ".json"), json) << name;
        EXPECT_EQ(cv::VideoCapture(name + ".avi").get(cv::CAP_PROP_FPS), 10.0) << name;
    }
    EXPECT_EQ(clipTimeOf("20261207-221320000-2.avi"), kStart);
    EXPECT_FALSE(clipTimeOf("20261207-221320000-0.avi"));
}

// An event that goes on for the whole run: a clip ends at --clip-max and
// when the camera's images change size, and the next one starts with the
// next image. Every image is in exactly one clip of its size, none missing.
TEST(Clips, ALongEventGoesOnInTheNextClipAtClipMaxAndAtASizeChange) {
    TempWorkingDir dir;
    CapturedStream err;
    ClipSettings settings{"clips", 1, 1, 2000, 64 << 20, true};
    settings.maxSeconds = 3;
    {
        ClipRecorder clips(settings, err.file);
        scriptedRun(clips, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 6550);
    }
    EXPECT_EQ(err.text(), "");
    std::vector<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator("clips"))
        if (file.path().extension() == ".json") names.push_back(file.path().stem().string());
    std::sort(names.begin(), names.end());
    std::vector<int64_t> all;
    for (const std::string& name : names) {
        const auto json = parseJson(textOf("clips/" + name + ".json"));
        ASSERT_TRUE(json) << name;
        const auto times = (*json)["times"].get<std::vector<int64_t>>();
        ASSERT_FALSE(times.empty()) << name;
        EXPECT_LT(times.back() - times.front(), 3000) << name;
        EXPECT_EQ((*json)["gaps"], 0) << name;
        const bool smaller = times.front() >= kStart + 6550;
        EXPECT_TRUE(std::all_of(times.begin(), times.end(),
                                [smaller](int64_t t) { return (t >= kStart + 6550) == smaller; }))
            << name << ": images of two sizes";
        cv::VideoCapture capture("clips/" + name + ".avi");
        cv::Mat image;
        ASSERT_TRUE(capture.read(image)) << name;
        EXPECT_EQ(image.cols, smaller ? 32 : 64) << name;
        EXPECT_EQ(imagesIn("clips/" + name + ".avi"), static_cast<int>(times.size())) << name;
        const auto box = (*json)["box"].get<std::vector<int>>();
        EXPECT_LE(box[0] + box[2], image.cols) << name;
        all.insert(all.end(), times.begin(), times.end());
    }
    EXPECT_GE(names.size(), 4u);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), kStart);  // the second before the event at 1 s
    EXPECT_EQ(all.back(), kStart + 10000);
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_EQ(all[i] - all[i - 1], 100) << "no image lost or repeated at " << i;
}

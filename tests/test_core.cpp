#include "Fakes.h"
#include "budget/Budget.h"
#include "core/Stretch.h"
#include "core/TickPictures.h"
#include "core/Worker.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

// Each policy, with the worker held up by a gate on its first item: keeping
// the newest skips what waited, leaving out refuses the new item, waiting
// holds the caller until there is room; an unbounded item is neither left
// out nor skipped and keeps its place. An orderly finish works off what
// waits. (That each thread carries its name is checked end to end.)
TEST(Worker, EachPolicyHandlesAFullQueueAsItSays) {
    for (const WhenFull policy : {WhenFull::keepNewest, WhenFull::leaveOut, WhenFull::wait}) {
        std::promise<void> open;
        std::shared_future<void> gate = open.get_future().share();
        std::mutex mutex;
        std::vector<int> done;
        const auto doneSoFar = [&] {
            const std::lock_guard<std::mutex> lock(mutex);
            return done;
        };
        std::atomic<bool> started{false}, ended{false};
        Worker<int> worker({"trailcam-test", policy, 2, nullptr, [&ended] { ended = true; }}, [&](int& item) {
            started = true;
            gate.wait();
            const std::lock_guard<std::mutex> lock(mutex);
            done.push_back(item);
        });
        ASSERT_TRUE(worker.hand(1));
        ASSERT_TRUE(eventually([&] { return started.load(); }));  // 1 is being worked on
        EXPECT_TRUE(worker.hand(2) && worker.hand(100, false) && worker.hand(3));
        EXPECT_FALSE(worker.hasRoom());
        std::vector<int> expected;
        if (policy == WhenFull::wait) {
            auto fourth = std::async(std::launch::async, [&] { return worker.hand(4); });
            EXPECT_EQ(fourth.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
            open.set_value();
            EXPECT_TRUE(fourth.get());
            expected = {1, 2, 100, 3, 4};
        } else if (policy == WhenFull::leaveOut) {
            EXPECT_FALSE(worker.hand(4));
            open.set_value();
            expected = {1, 2, 100, 3};
        } else {
            EXPECT_TRUE(worker.hand(4));  // 2 goes
            open.set_value();
            expected = {1, 100, 3, 4};
            EXPECT_TRUE(eventually([&] { return doneSoFar().size() == 4; }));
        }
        worker.finish();
        EXPECT_TRUE(ended);
        EXPECT_FALSE(worker.hand(5)) << "nothing is taken after the finish";
        EXPECT_EQ(doneSoFar(), expected) << static_cast<int>(policy);
    }
}

// With nothing to do for a while, the worker says so on its own thread.
TEST(Worker, IdleIsCalledWhenNoItemComes) {
    std::atomic<int> idles{0};
    Worker<int> worker({"trailcam-idle", WhenFull::leaveOut, 1, nullptr, nullptr,
                        std::chrono::milliseconds(10), [&idles] { ++idles; }},
                       [](int&) {});
    EXPECT_TRUE(eventually([&idles] { return idles.load() >= 2; }));
}

// The tick's pictures: copies, taken when made; each JPEG encoded once
// whoever asks first and from whichever thread, the same bytes for all; the
// source's own bytes for the camera image when it sent a JPEG.
TEST(TickPictures, EachEncodedOnceFromCopiesAndTheSourcesJpegKept) {
    cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(10, 20, 30)), trail(48, 64, CV_8UC3, cv::Scalar(40, 50, 60));
    std::vector<uchar> frameBytes, trailBytes;
    cv::imencode(".jpg", frame, frameBytes);
    cv::imencode(".jpg", trail, trailBytes);
    const TickPictures pictures(Frame{frame, 0}, trail);
    frame.setTo(cv::Scalar::all(255)), trail.setTo(cv::Scalar::all(255));  // the loop goes on
    std::vector<std::future<std::pair<TickPictures::Bytes, TickPictures::Bytes>>> askers;
    for (int i = 0; i < 4; ++i)
        askers.push_back(std::async(std::launch::async, [&pictures] {
            return std::pair{pictures.trailJpeg(), pictures.frameJpeg()};
        }));
    for (auto& asker : askers) {
        const auto [trailJpeg, frameJpeg] = asker.get();
        EXPECT_EQ(trailJpeg, pictures.trailJpeg());
        EXPECT_EQ(frameJpeg, pictures.frameJpeg());
    }
    EXPECT_TRUE(*pictures.frameJpeg() == frameBytes && *pictures.trailJpeg() == trailBytes);

    const auto sent = std::make_shared<const std::vector<uchar>>(std::vector<uchar>{0xff, 0xd8, 0xff, 0xd9});
    const TickPictures fromJpeg(Frame{frame, 0, sent}, trail);
    EXPECT_EQ(fromJpeg.frameJpeg(), sent);
    const TickPictures none(Frame{}, cv::Mat());
    EXPECT_TRUE(none.frameJpeg()->empty() && none.trailJpeg()->empty());
}

// --budget: the run's images and ticks, a line for each listener in the
// loop's order (the time it took, told through its wrapper), and the share of
// a core of each thread by name, this process's named threads among them.
TEST(Budget, CountsTheRunAndNamesEveryListenerAndThread) {
    struct Slow : TrailListener {
        int images = 0, ticks = 0;
        void framed(const Frame&) override {
            ++images, std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        void ticked(const Tick&) override { ++ticks; }
    } slow;
    struct Quiet : TrailListener {
    } quiet;
    std::atomic<bool> stop{false};
    std::thread worker([&stop] {
        pthread_setname_np(pthread_self(), "budget-test");
        while (!stop)
            std::this_thread::yield();
    });
    CapturedStream err;
    {
        Budget budget(err.file);
        const std::vector<TrailListener*> told = budget.timed({&slow, &quiet});
        ASSERT_EQ(told.size(), 3u);
        for (TrailListener* listener : told)
            listener->started();
        for (int i = 0; i < 20; ++i) {
            for (TrailListener* listener : told)
                listener->framed(Frame{});
            if (i % 10 == 9)
                for (TrailListener* listener : told)
                    listener->ticked(Tick{});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (TrailListener* listener : told)
            listener->ended();
        budget.print();
    }
    stop = true;
    worker.join();
    const std::string printed = err.text();
    const std::vector<std::string> read = err.lines();
    EXPECT_EQ(slow.images, 20);
    EXPECT_EQ(slow.ticks, 2);
    ASSERT_GE(read.size(), 6u) << printed;
    EXPECT_EQ(read[0].rfind("budget: 20 images and 2 ticks in ", 0), 0u) << read[0];
    EXPECT_EQ(read[2].rfind("budget:   Slow ", 0), 0u) << read[2];
    EXPECT_EQ(read[3].rfind("budget:   Quiet ", 0), 0u) << read[3];
    double perImage = 0;
    EXPECT_EQ(std::sscanf(read[2].c_str() + read[2].find(" ", 10), "%lf", &perImage), 1);
    EXPECT_GE(perImage, 2000.0) << "2 ms an image, in µs";
    EXPECT_EQ(read[4], "budget: threads: share of a core");
    EXPECT_NE(printed.find("\nbudget:   budget-test "), std::string::npos) << printed;
}

// A 16-bit picture: linear puts the 0.1th percentile at 0 and the 99.9th at
// 255; asinh lifts the faint end above linear; none is the full range; an
// 8-bit image stays as it is.
TEST(Stretch, MapsAPercentileRangeOrTheFullRangeTo8Bits) {
    cv::Mat ramp(100, 100, CV_16UC1);
    for (int i = 0; i < 10000; ++i)
        ramp.at<uint16_t>(i / 100, i % 100) = static_cast<uint16_t>(1000 + i);  // 1000 .. 10999
    const cv::Mat linear = stretchToEightBits(ramp, Stretch::linear);
    const cv::Mat asinh = stretchToEightBits(ramp, Stretch::asinh);
    const cv::Mat none = stretchToEightBits(ramp, Stretch::none);
    ASSERT_EQ(linear.type(), CV_8UC1);
    EXPECT_EQ(linear.at<uchar>(0, 0), 0);
    EXPECT_EQ(linear.at<uchar>(0, 10), 0) << "the 0.1th percentile";
    EXPECT_EQ(linear.at<uchar>(99, 89), 255) << "the 99.9th percentile";
    EXPECT_NEAR(linear.at<uchar>(50, 0), 128, 1);
    EXPECT_GT(asinh.at<uchar>(10, 0), linear.at<uchar>(10, 0) + 40);
    EXPECT_EQ(asinh.at<uchar>(99, 99), 255);
    cv::Mat full;
    ramp.convertTo(full, CV_8U, 1.0 / 257);
    EXPECT_EQ(cv::norm(none, full, cv::NORM_INF), 0);
    const cv::Mat eight(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_EQ(stretchToEightBits(eight, Stretch::linear).data, eight.data);
}

#pragma once

#include "core/Camera.h"
#include "core/OrderedPool.h"
#include "core/SayOnce.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// A camera that sends Motion-JPEG, decoded on a few threads at once: one
// image is read at a time, in order, and stamped as it is read; while one is
// being decoded the next ones are read and decoded beside it, and the loop
// gets them in the order they came. At most threads + 2 decoded images are
// in flight. A camera that hands over decoded images is passed through.
class PooledDecoding : public Camera {
public:
    PooledDecoding(Camera& camera, int threads, FILE* err);
    ~PooledDecoding() override;
    PooledDecoding(const PooledDecoding&) = delete;
    PooledDecoding& operator=(const PooledDecoding&) = delete;

    bool isOpened() const override { return camera_.isOpened(); }
    // Configures the camera, then asks it for its images undecoded.
    void configure(const CameraMode& mode) override;
    CameraMode reported() const override { return camera_.reported(); }
    std::optional<double> sensorCelsius() const override { return camera_.sensorCelsius(); }
    std::optional<double> exposureSeconds() const override { return camera_.exposureSeconds(); }
    std::optional<double> gain() const override { return camera_.gain(); }
    void read(Frame& frame) override;
    void release() override;
    bool reopen() override;

private:
    struct Decoded {
        cv::Mat image;
        int64_t millis = 0;
        std::shared_ptr<const std::vector<uchar>> jpeg;  // as the camera sent it
        bool failed = false;
        bool end = false;
    };
    Decoded readAndDecode(int64_t index);
    void start();
    void stop();

    Camera& camera_;
    int threads_;
    SayOnce said_;
    std::mutex reading_;
    std::condition_variable turn_;
    int64_t nextToRead_ = 0;
    bool stopping_ = false;
    std::unique_ptr<OrderedPool<Decoded>> pool_;  // while the camera hands over compressed images
};

#pragma once

#include "core/Camera.h"
#include "core/Result.h"
#include "core/SayOnce.h"
#include "indi/IndiSettings.h"

#include <libindi/baseclient.h>
#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// An astronomy camera behind an INDI server (ZWO, QHY, a DSLR, ... through
// their INDI drivers), as a camera: exposures back to back, each image's FITS
// decoded, its time the middle of its exposure. Only the primary CCD's images
// are asked for. A stop asked for during an exposure aborts it.
class IndiCamera : public Camera, private INDI::BaseClient {
public:
    IndiCamera(IndiSettings settings, FILE* err, const volatile std::sig_atomic_t* stopRequested);
    ~IndiCamera() override;
    IndiCamera(const IndiCamera&) = delete;
    IndiCamera& operator=(const IndiCamera&) = delete;

    // Reaches the server and the camera, connecting the camera when it is
    // not; says why not on err.
    bool open();
    bool isOpened() const override { return opened_; }
    void configure(const CameraMode&) override {}  // the camera's own frame and binning
    CameraMode reported() const override;
    std::optional<double> sensorCelsius() const override;
    std::optional<double> exposureSeconds() const override;
    std::optional<double> gain() const override;
    void read(Frame& frame) override;
    void release() override;
    bool reopen() override;
    void reportExposures(std::function<void(const Exposure&)> progress) override {
        progress_ = std::move(progress);
    }

    // The cameras an INDI server offers (devices that take exposures), with
    // their image sizes when known; waits a few seconds for them to appear.
    static Result<std::vector<std::pair<std::string, cv::Size>>> cameras(const IndiSettings& settings);
    // The number and switch properties of the camera a run would take, one
    // a line, with their ranges and values.
    static Result<std::string> controls(const IndiSettings& settings);

private:
    void newProperty(INDI::Property property) override;
    void updateProperty(INDI::Property property) override;
    void serverDisconnected(int exitCode) override;
    void noteReadings(INDI::Property property);

    std::optional<std::string> chosenCamera() const;
    // For a listing: the server's cameras (the chosen one alone with `chosen`),
    // each connected while `each` looks at it and left as it was.
    static Result<> lookAtCameras(const IndiSettings& settings, bool chosen,
                                  const std::function<void(const INDI::BaseDevice&)>& each);
    bool waitFor(double seconds, const std::function<bool()>& done);
    std::optional<std::vector<uchar>> waitForImage();
    void askNumber(const std::string& property, const std::string& element, double value);
    void askSwitch(const std::string& property, const std::string& element);
    void startExposure();
    void abortExposure();
    void setNumbers();
    bool stopAsked() const { return stopRequested_ != nullptr && *stopRequested_ != 0; }

    IndiSettings settings_;
    FILE* err_;
    const volatile std::sig_atomic_t* stopRequested_;
    SayOnce said_;
    bool opened_ = false;
    std::string device_;
    int64_t exposureAsked_ = -1;  // wall-clock milliseconds; -1: none running
    std::function<void(const Exposure&)> progress_;
    Frame last_;
    cv::Size size_;  // as the camera reported it when opened
    int64_t pixelBudget_ = 0;
    bool saidPassedOver_ = false;

    mutable std::mutex mutex_;
    std::atomic<double> celsius_{
        std::numeric_limits<double>::quiet_NaN()};  // CCD_TEMPERATURE, as the driver tells
    std::atomic<double> gain_{std::numeric_limits<double>::quiet_NaN()};  // CCD_GAIN, likewise
    std::condition_variable changed_;
    std::vector<std::string> cameras_;  // devices seen that take exposures, in order
    std::optional<std::vector<uchar>> image_;
    bool serverGone_ = false;
    int64_t passedOver_ = 0;  // images a newer one replaced before they were taken
};

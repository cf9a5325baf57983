#pragma once

#include "calibration/CalibrationOptions.h"
#include "calibration/HotPixels.h"
#include "core/Camera.h"
#include "core/Result.h"
#include "core/SayOnce.h"

#include <opencv2/core.hpp>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// A master dark as its sidecar NAME.json describes it: what the camera was
// set to and how warm its sensor was (unknown: none), the image's size and
// depth, how many images it is the median of and when it was made.
struct DarkDescription {
    std::optional<double> exposureSeconds, gain, temperature;
    cv::Size size;
    int depth = 8;  // bits
    int frames = 0;
    int64_t madeMillis = 0;
};
std::string darkSidecarJson(const DarkDescription& dark);
// The sidecar beside an image: dark.png's is dark.json.
std::string darkSidecarPath(const std::string& image);

// Calibrates each image before the trail takes it: the dark subtracted
// (saturating at 0), then the hot pixels filled from their neighbours. The
// camera's own image stays beside the calibrated one for clips and the
// frame timelapse.
class Calibrator {
public:
    // Reads the dark (or the library's sidecars) and the mask; says why not.
    static Result<std::unique_ptr<Calibrator>> make(const CalibrationSettings& settings,
                                                    std::string snapshotFolder, FILE* err);

    // Reads a single dark and a mask for the first image (their headers
    // first: neither may be larger than the image), and refuses an image
    // they do not fit, in words naming both sizes.
    Result<> check(const cv::Mat& first);
    // Calibrates the frame (see Frame::finish); a library's dark is chosen
    // by what the camera, when given, tells of its exposure, gain and
    // sensor's temperature, else by the exposure and gain it was set to.
    void apply(Frame& frame, const Camera* camera = nullptr);

    // "calibration":{...} for the statuses; the same members for sidecars.
    std::string statusJson() const;
    std::string sidecarMembers() const;

private:
    struct LibraryDark {
        std::string path;
        DarkDescription description;
    };
    Calibrator(const CalibrationSettings& settings, std::string snapshotFolder, FILE* err);
    void chooseDark(const cv::Mat& image, int64_t millis, const Camera* camera);
    void useDark(const std::string& path, std::optional<double> delta, const cv::Mat& image);
    Result<> readGiven(const cv::Mat& first);
    void learnedOrTakenUp(const cv::Mat& mask, const std::string& how, Frame& frame);
    void rebuildMap(const cv::Mat& image);
    cv::Mat recycled(const cv::Mat& like);

    CalibrationSettings settings_;
    FILE* err_;
    std::string hotPixelsFile_;         // where an automatic map is kept
    SayOnce said_;                      // the hot pixels found
    SayOnce darkSaid_, maskSaid_;       // each said once while it lasts, whatever else is said
    std::vector<LibraryDark> library_;  // a folder's darks; empty for a single dark
    bool libraryAsked_ = false;
    std::set<std::pair<std::string, int>>
        refusedDarks_;  // a library's darks that, read, did not fit images of a type
    bool darkPending_ = false, maskPending_ = false;  // given as files, read at the first image
    int64_t chosenAtMillis_ = INT64_MIN;
    cv::Size chosenSize_;  // the images the choice was made for
    int chosenType_ = -1;
    cv::Mat dark_;
    std::optional<HotPixelLearner> learner_;
    bool learning_ = false;
    cv::Mat baseMask_;                        // the mask file's or the learned map's
    std::shared_ptr<const HotPixelMap> map_;  // the base mask and the dark's own hot pixels
    int builtType_ = -1;                      // the type of the images map_ was built for
    bool mapDirty_ = false;

    mutable std::mutex reportMutex_;  // the statuses are asked from other threads
    std::string darkName_;
    std::optional<double> darkDelta_;
    int hotCount_ = 0;
};

// A camera whose images are calibrated as they are read: an image stage over
// the source, so that the loop sees calibrated images from any source.
class CalibratedCamera : public Camera {
public:
    CalibratedCamera(Camera& camera, Calibrator& calibrator) : camera_(camera), calibrator_(calibrator) {}
    // Reads the first image ahead, for the calibration to check; it is
    // handed over again at the first read.
    Result<> checkFirstImage();

    bool isOpened() const override { return camera_.isOpened(); }
    void configure(const CameraMode& mode) override { camera_.configure(mode); }
    CameraMode reported() const override { return camera_.reported(); }
    void read(Frame& frame) override;
    void reportExposures(std::function<void(const Exposure&)> progress) override {
        camera_.reportExposures(std::move(progress));
    }
    std::optional<double> sensorCelsius() const override { return camera_.sensorCelsius(); }
    std::optional<double> exposureSeconds() const override { return camera_.exposureSeconds(); }
    std::optional<double> gain() const override { return camera_.gain(); }
    void release() override { camera_.release(); }
    bool reopen() override { return camera_.reopen(); }

private:
    Camera& camera_;
    Calibrator& calibrator_;
    std::optional<Frame> first_;
};

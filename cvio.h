#pragma once

#include "PanoramaUnwrapper.h"
#include "core/Camera.h"
#include "core/Clocks.h"
#include "core/Display.h"
#include "core/Frame.h"
#include "core/FrameSource.h"

#include <opencv2/core.hpp>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What start-up asks of the camera.
struct CaptureSettings {
    CameraMode mode{{640, 480}, 0};
};

// The start-up panorama: the unwrapper, set up with the fixed lens geometry
// for the first camera image, and that image's panorama. The app owns it;
// the panorama view goes on using the unwrapper for later images.
struct StartupPanorama {
    PanoramaUnwrapper unwrapper;
    std::unique_ptr<cv::Mat> unwrap;  // the first image's panorama; null when none could be made
    // The image size the unwrapper's table was last built for, and whether
    // such an image can hold the ring.
    cv::Size unwrapperBuiltFor;
    bool unwrapperReady = false;
};

// The camera, its latest image and the frame clock.
struct CaptureState {
    // notices (may be null) hears once what the camera delivers when it is
    // not what was asked.
    CaptureState(Camera& camera, ProcessorClock& processorClock, FILE* console, FILE* notices = nullptr,
                 CaptureSettings settings = {});

    Camera& cap;
    ProcessorClock& clock;
    FILE* out;
    FILE* notices;
    const CaptureSettings settings;

    cv::Mat frame;
    int64_t frameMillis = 0;                              // when frame was taken
    std::shared_ptr<const std::vector<uchar>> frameJpeg;  // frame as the camera sent it, when a JPEG
    cv::Mat frameOwn;                           // the camera's own image, when a stage changed frame
    std::function<void(cv::Mat&)> frameMends;   // a repair of the trail a stage handed over with frame
    std::function<void(cv::Mat*)> frameFinish;  // the work a stage left for the merge of frame
    // The frame clock: the processor time of the last image read, the images
    // read, and the processor time between the last two.
    double startTime;
    int32_t framecounter = 0;
    double delta_sec = 0;
    // Where setup unwraps the first image; none is made while it is null.
    StartupPanorama* panorama = nullptr;
    // When set, every image read is added to it (a replay keeps what
    // start-up reads, so that no recorded image is lost).
    std::vector<Frame>* keptImages = nullptr;
};

// Requests the configured size and rate, reads a first image, unwraps it into
// the start-up panorama and grabs once more. False when the camera is not open.
bool setup(CaptureState& state);

// Reads the next image into state.frame; a non-empty one advances the
// frame clock and framecounter.
void captureVideoIn(CaptureState& state);

// Sets the unwrapper up with the fixed lens geometry for the first camera
// image and unwraps it.
void startupPanorama(StartupPanorama& panorama, cv::Mat& first);

// Builds the unwrapper's table with the fixed lens geometry for images of
// the given size; false when such an image cannot hold the ring.
bool useStartupGeometry(PanoramaUnwrapper& unwrapper, int width, int height);

// The square of an image of this size that holds the start-up geometry's
// ring; empty when such an image cannot hold it.
cv::Rect startupRingSquare(cv::Size size);

// The camera state as the loop's source of images.
class CaptureSource : public FrameSource {
public:
    explicit CaptureSource(CaptureState& state) : state_(state) {}
    bool start() override;
    Frame next() override;
    void keepImagesIn(std::vector<Frame>* kept) override { state_.keptImages = kept; }
    Camera& camera() override { return state_.cap; }

private:
    CaptureState& state_;
};

// Records the camera to a Motion-JPEG video with an XML log of the measured
// intervals, until Esc or a stop request (stop may be null). 0 when done,
// -1 when the camera or video is not open or the recording ended early.
int captureVideoOut(CaptureState& state, Display& display, const std::string& videoPath = "7.avi",
                    const std::string& logPath = "7.xml", const volatile std::sig_atomic_t* stop = nullptr);

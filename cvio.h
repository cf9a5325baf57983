#pragma once

#include "PanoramaUnwrapper.h"
#include "core/Devices.h"

#include <opencv2/core.hpp>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The shared camera state: the camera, the latest image and the frame clock,
// plus the start-up panorama. Members are created in this order and destroyed
// in reverse, so the unwrapper's table goes before the camera.
struct CaptureState {
    CaptureState(Camera& camera, ProcessorClock& processorClock, FILE* console);

    // What setup asks of the camera; a rate of 0 asks for none. Where the
    // camera delivers something else it is said once on `notices`, if set.
    cv::Size requestedSize{640, 480};
    double requestedFps = 0;
    FILE* notices = nullptr;
    // Set asynchronously to end a recording in order, as Esc does; may be null.
    const volatile std::sig_atomic_t* stopRequested = nullptr;
    // When set, a copy of every image read is added to it (a replay keeps
    // what start-up reads, so that no recorded image is lost).
    std::vector<cv::Mat>* keptImages = nullptr;

    Camera& cap;
    ProcessorClock& clock;
    FILE* out;
    cv::Mat frame;
    double startTime;
    int32_t framecounter = 0;
    double delta_sec = 0;
    PanoramaUnwrapper unwrapper;
    std::unique_ptr<cv::Mat> unwrap;
};

// Requests 640 x 480, reads a first image, unwraps it into the start-up
// panorama and grabs once more. False when the camera is not open.
bool setup(CaptureState& state);

// Reads the next image into state.frame; a non-empty one advances the
// frame clock and framecounter.
void captureVideoIn(CaptureState& state);

// Unwraps the first camera image with the fixed lens geometry.
void startupPanorama(CaptureState& state);

// Sets the fixed lens geometry for images of the given size and builds the
// table; false when such an image cannot hold the ring.
bool useStartupGeometry(PanoramaUnwrapper& unwrapper, int width, int height);

// Records the camera to a Motion-JPEG video with an XML log of the measured
// intervals, until Esc. 0 when done, -1 when the camera or video is not open.
int captureVideoOut(CaptureState& state, Display& display, const std::string& videoPath = "7.avi",
                    const std::string& logPath = "7.xml");

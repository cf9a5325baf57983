#include "app/runTool.h"

#include "camera/ControlledCamera.h"
#include "camera/DemoSky.h"
#include "camera/PooledDecoding.h"
#include "camera/VideoCaptureCamera.h"
#include "clips/ClipOptions.h"
#include "core/TimeColours.h"
#include "cvio.h"
#include "input/openInput.h"
#include "mqtt/MqttOptions.h"
#include "platform/Clocks.h"
#include "platform/Files.h"
#include "platform/HighGuiDisplay.h"
#include "platform/StopSignals.h"
#include "platform/V4l2Controls.h"
#include "platform/VideoDeviceList.h"
#include "products/ProductOptions.h"
#include "retention/RetentionOptions.h"
#include "snapshots/SnapshotFolder.h"
#include "trail/TrailLoop.h"
#include "views/LiveFiles.h"
#include "views/PanoramaView.h"
#include "views/StatusPrinter.h"
#include "views/Windows.h"
#include "web/WebView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#ifndef TRAILCAM_VERSION
#define TRAILCAM_VERSION "unknown"
#endif

namespace {

// The trail loop on a source, with the listeners the settings ask for.
int runTrail(const Settings& s, CaptureState& capture, Display& display, bool replay) {
    SnapshotFolder snapshots(s.snapshots.folder, static_cast<int64_t>(s.snapshots.minFreeMb * 1048576),
                             stderr);
    if (const Result<> opened = snapshots.open(); !opened) {
        std::fprintf(stderr, "trailcam: cannot use the snapshot folder %s: %s\n", s.snapshots.folder.c_str(),
                     opened.reason().c_str());
        return 1;
    }
    const SourceSettings& source = s.source;
    const std::string sourceName = withoutUserInfo(replay        ? source.input
                                                   : source.demo ? "demo"
                                                                 : source.device);
    StatusPrinter printer(stdout, stderr);
    PanoramaView panorama(capture, stderr);
    if (s.snapshots.panorama)
        snapshots.addCompanion(kPanoramaSuffix,
                               [&panorama](const SnapshotDue& due) { return panorama.unwrap(due.trail); });
    const SnapshotMetadata metadata(sourceName, TRAILCAM_VERSION);
    if (s.snapshots.metadata) snapshots.describeWith(&metadata);
    if (s.snapshots.timeMap) {
        snapshots.addCompanion(kTimeMapSuffix, [](const SnapshotDue& due) { return due.timeMap; });
        snapshots.addCompanion(kTimeColoursSuffix, [](const SnapshotDue& due) {
            return colouredTimes(due.timeMap, due.trail,
                                 static_cast<float>(due.span.endMillis - due.span.startMillis) / 1000.0f);
        });
    }
    Windows windows(display, s.snapshots.panorama ? &panorama : nullptr);
    std::vector<TrailListener*> listeners{&printer, &snapshots};
    // The night's products and the clip in progress, which retention leaves alone.
    FilesInUse inUse;
    // A failure to start one of them ends the run, in one line.
    const auto failed = [](const std::string& why) {
        std::fprintf(stderr, "trailcam: %s\n", why.c_str());
        return 1;
    };
    Result<std::unique_ptr<ClipRecorder>> clips = makeClipRecorder(s.clips, replay, stderr);
    if (!clips) return failed(clips.reason());
    Panorama* panoramaShown = s.snapshots.panorama ? &panorama : nullptr;
    const std::unique_ptr<Keogram> keogram =
        makeKeogram(s.products, s.snapshots.folder, panoramaShown, stderr, &inUse);
    const std::unique_ptr<Timelapse> timelapse =
        makeTimelapse(s.products, s.snapshots.folder, replay, stderr, &inUse);
    Result<std::unique_ptr<MqttPublisher>> mqtt =
        makeMqttPublisher(s.mqtt, sourceName, TRAILCAM_VERSION, stderr);
    if (!mqtt) return failed(mqtt.reason());
    const std::unique_ptr<Retention> retention =
        makeRetention(s.retention, s.snapshots.folder, s.clips.folder, stderr, &inUse);
    if (retention) snapshots.replaceOnlyByRetention();
    for (TrailListener* listener : std::initializer_list<TrailListener*>{
             clips->get(), keogram.get(), timelapse.get(), mqtt->get(), retention.get()})
        if (listener != nullptr) listeners.push_back(listener);
    // What both status.json files carry besides the tick's fields.
    std::function<std::string()> moreStatus;
    if (retention) moreStatus = [&retention] { return retention->summaryJson(); };
    std::unique_ptr<LiveFiles> live;
    if (!s.views.liveFolder.empty()) {
        live = std::make_unique<LiveFiles>(s.views.liveFolder, sourceName, stderr, moreStatus);
        listeners.push_back(live.get());
    }
    std::unique_ptr<WebView> web;
    if (!s.views.httpHost.empty()) {
        web = std::make_unique<WebView>(
            WebView::Address{s.views.httpHost, s.views.httpPort, s.views.httpAllowedHosts}, snapshots,
            WebView::Shown{clips->get(), keogram ? &keogram->strip() : nullptr, moreStatus}, sourceName,
            stderr);
        if (const Result<> started = web->start(); !started) {
            std::fprintf(stderr, "trailcam: web view: %s\n", started.reason().c_str());
            return 1;
        }
        listeners.push_back(web.get());
    }
    listeners.push_back(&windows);

    // What listeners did, told to all of them.
    ListenerSet announcements(listeners);
    snapshots.announceTo(&announcements);
    if (*clips) (*clips)->announceTo(&announcements);
    TrailInputs inputs{display, snapshots, stdin, [] { return mayReadTerminal(fileno(stdin)); },
                       &stopRequested};
    TrailChoices choices{s.loop.saveOnExit, replay, static_cast<int64_t>(s.loop.reconnectSeconds * 1000),
                         s.snapshots.timeMap};
    TrailLoop loop(inputs, choices, listeners);
    if (const auto newest = snapshots.newest())
        std::fprintf(stderr, "snapshots continue after %s\n",
                     snapshots.pathOf(loop.continueNumberingAfter(*newest)).c_str());
    const int status = loop.run(capture);
    return snapshots.finalSnapshotLost() ? 1 : status;
}

// A recording instead of a camera: the same start-up and loop, on the
// recording's own time and as fast as it decodes.
int replay(const Settings& s) {
    const SourceSettings& source = s.source;
    const int threads = source.threads > 0
                            ? source.threads
                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    Result<std::unique_ptr<RecordedInput>> input =
        openRecordedInput(source.input, source.inputFps, threads, stderr, source.inputStart);
    if (!input) {
        std::fprintf(stderr, "trailcam: %s\n", input.reason().c_str());
        return 1;
    }
    SystemProcessorClock processorClock;
    CaptureState capture(**input, processorClock, stdout);
    HighGuiDisplay display(stderr, !s.views.show, false);
    return runTrail(s, capture, display, true);
}

}  // namespace

int runTool(const Settings& s, cv::VideoCapture& cap) {
    // Status lines reach a pipe or a log file as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (s.listDevices) {
        std::fputs(describeVideoDevices(listVideoDevices()).c_str(), stdout);
        return 0;
    }
    const SourceSettings& source = s.source;
    const std::string node = v4l2DevicePath(source.device);
    if (source.listControls) {
        Result<std::vector<V4l2Control>> controls =
            node.empty() ? Result<std::vector<V4l2Control>>(Failure{source.device + " is no V4L2 device"})
                         : listV4l2Controls(node);
        if (!controls) return std::fprintf(stderr, "trailcam: %s\n", controls.reason().c_str()), 1;
        std::fputs(describeV4l2Controls(*controls).c_str(), stdout);
        return 0;
    }
    installStopSignals();
    if (!s.source.input.empty()) return replay(s);

    VideoCaptureCamera camera(cap, source.device, &stopRequested, stderr);
    ControlledCamera controlled(
        camera, source.controls,
        [&node](const std::string& name, int64_t value) { return setV4l2Control(node, name, value); },
        stderr);
    // A Motion-JPEG camera's images are decoded on a few threads at once.
    PooledDecoding decoded(controlled,
                           std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 4), stderr);
    DemoSky sky(30, source.demoSpeed, millis());
    if (!source.demo) camera.open();
    SystemProcessorClock processorClock;
    CaptureState capture(source.demo ? static_cast<Camera&>(sky) : decoded, processorClock, stdout, stderr,
                         {{source.size, source.fps}});
    HighGuiDisplay display(stderr, s.views.headless);
    const int status = s.record.enabled ? (captureVideoOut(capture, display, s.record.base + ".avi",
                                                           s.record.base + ".xml", &stopRequested) == 0
                                               ? 0
                                               : 1)
                                        : runTrail(s, capture, display, false);
    if (camera.openAbandoned()) {
        // A thread is still inside OpenCV opening the device: end without
        // tearing down what it may touch.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

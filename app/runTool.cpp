#include "app/runTool.h"

#include "app/PanoramaView.h"
#include "budget/Budget.h"
#if TRAILCAM_HAS_INDI
#include "indi/IndiCamera.h"
#endif
#include "calibration/Calibrator.h"
#include "calibration/MedianImage.h"
#include "camera/ControlledCamera.h"
#include "camera/DemoSky.h"
#include "camera/PooledDecoding.h"
#include "camera/VideoCaptureCamera.h"
#include "clips/ClipOptions.h"
#include "core/EightBits.h"
#include "core/TimeColours.h"
#include "core/Worker.h"
#include "cvio.h"
#include "flashes/FlashOptions.h"
#include "input/ProgressLine.h"
#include "input/openInput.h"
#include "meteors/Meteors.h"
#include "mqtt/MqttOptions.h"
#include "platform/Clocks.h"
#include "platform/Files.h"
#include "platform/HighGuiDisplay.h"
#include "platform/StopSignals.h"
#include "platform/V4l2Controls.h"
#include "platform/VideoDeviceList.h"
#include "products/ProductOptions.h"
#include "quality/SkyQuality.h"
#include "retention/RetentionOptions.h"
#include "segments/SegmentOptions.h"
#include "service/ServiceNotifier.h"
#include "snapshots/SnapshotFolder.h"
#include "sun/SunOptions.h"
#include "trail/TrailLoop.h"
#include "upload/UploadOptions.h"
#include "views/LiveFiles.h"
#include "views/StatusPrinter.h"
#include "views/Windows.h"
#include "web/WebView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#ifndef TRAILCAM_VERSION
#define TRAILCAM_VERSION "unknown"
#endif

namespace {

// What goes beside each snapshot, as the settings ask.
void describeSnapshots(SnapshotFolder& snapshots, const SnapshotSettings& s, Panorama& panorama,
                       const SnapshotMetadata& metadata) {
    if (s.panorama)
        snapshots.addCompanion(kPanoramaSuffix, [&panorama, stretch = s.stretch](const SnapshotDue& due) {
            return panorama.unwrap(shown(due.trail, stretch));
        });
    if (s.metadata) snapshots.describeWith(&metadata);
    if (s.sixteenBits)
        snapshots.addCompanion(kSixteenBitSuffix, [](const SnapshotDue& due) {
            return due.trail.depth() == CV_16U ? due.trail : cv::Mat();
        });
    snapshots.stretchWith(s.stretch);
    if (s.timeMap) {
        snapshots.addCompanion(kTimeMapSuffix, [](const SnapshotDue& due) { return due.timeMap; });
        snapshots.addCompanion(kTimeColoursSuffix, [](const SnapshotDue& due) {
            return colouredTimes(due.timeMap, due.trail,
                                 static_cast<float>(due.span.endMillis - due.span.startMillis) / 1000.0f);
        });
    }
}

// The features of a run, each made from its settings, or none when not
// asked for; destroyed in the reverse order.
struct Features {
    Calibrator* calibrator = nullptr;  // the image stage's, when images are calibrated
    FilesInUse inUse;  // the night's products and the clip in progress, which retention leaves alone
    std::unique_ptr<SunDaylight> daylight;  // working from dusk to dawn
    std::unique_ptr<SkyReport> sky;
    std::unique_ptr<SkyQuality> quality;
    std::unique_ptr<Meteors> meteors;
    std::unique_ptr<FlashReport> flashes;
    std::unique_ptr<SegmentWriter> segments;
    std::unique_ptr<ClipRecorder> clips;
    std::unique_ptr<Keogram> keogram;
    std::unique_ptr<Timelapse> timelapse;
    std::unique_ptr<TrailListener> mqtt;
    std::unique_ptr<Uploader> upload;
    std::unique_ptr<Retention> retention;
    std::unique_ptr<LiveFiles> live;
    std::unique_ptr<TrailListener> web;

    // The ones made, in the order they are told of events.
    std::vector<TrailListener*> listeners() const {
        std::vector<TrailListener*> made;
        for (TrailListener* listener : std::initializer_list<TrailListener*>{
                 sky.get(), quality.get(), meteors.get(), flashes.get(), segments.get(), clips.get(),
                 keogram.get(), timelapse.get(), mqtt.get(), upload.get(), retention.get(), live.get(),
                 web.get()})
            if (listener != nullptr) made.push_back(listener);
        return made;
    }
};

// What the statuses carry besides the tick's fields: retention's files, the
// sky, the upload queue; nothing when none of them runs.
std::function<std::string()> statusMembers(const Features& f, const Settings& s) {
    if (!s.retention.keepDays && !s.retention.maxBytes && !s.sun.nightOnly && s.upload.remote.empty() &&
        f.calibrator == nullptr && !s.quality.enabled)
        return nullptr;
    return [&f] {
        std::string members;
        for (const std::string& member :
             {f.retention ? f.retention->summaryJson() : std::string(),
              f.sky ? f.sky->statusJson() : std::string(), f.upload ? f.upload->statusJson() : std::string(),
              f.calibrator != nullptr ? f.calibrator->statusJson() : std::string(),
              f.quality ? f.quality->statusJson() : std::string()})
            if (!member.empty()) members += (members.empty() ? "" : ",") + member;
        return members;
    };
}

// Makes the features in their order: 1. the sky and its quality, 2. the flash report,
// 3. segments, 4. clips, 5. night products, 6. MQTT, 7. uploads, 8. retention,
// 9. live files, 10. the web view. Fails, saying why, when one cannot start.
Result<> makeFeatures(Features& f, const Settings& s, SnapshotFolder& snapshots, Panorama& panorama,
                      const std::string& source, bool replay, const Camera& camera) {
    f.daylight = makeDaylight(s.sun);
    if (f.daylight) f.sky = std::make_unique<SkyReport>(*f.daylight, *s.sun.nightOnly, stdout);
    // The camera is asked, from the measuring thread, what it tells of its exposure and gain.
    f.quality = makeSkyQuality(
        s.quality,
        [&camera] {
            return std::pair{camera.exposureSeconds(), camera.gain()};
        },
        stderr, replay);
    f.meteors = makeMeteors(s.meteors, s.snapshots.folder, stderr);
    f.flashes = makeFlashReport(s.flashes, stderr);
    f.segments = makeSegmentWriter(s.segments, s.snapshots.folder, stderr, f.quality.get());
    ClipSettings clipSettings = s.clips;
    clipSettings.stretch = s.snapshots.stretch;
    // A meteor is told once it ended and no continuation came.
    if (s.meteors.enabled) clipSettings.lateSeconds = s.meteors.rules.maxSeconds + kMeteorToldWithinSeconds;
    Result<std::unique_ptr<ClipRecorder>> clips = makeClipRecorder(clipSettings, replay, stderr);
    if (!clips) return Failure{clips.reason()};
    f.clips = std::move(*clips);
    Panorama* panoramaShown = s.snapshots.panorama ? &panorama : nullptr;
    f.keogram = makeKeogram(s.products, s.snapshots.folder, panoramaShown, stderr, &f.inUse);
    f.timelapse = makeTimelapse(s.products, s.snapshots.folder, replay, stderr, &f.inUse);
    const std::function<std::string()> moreStatus = statusMembers(f, s);
#if TRAILCAM_HAS_MQTT
    MqttSettings mqttSettings = s.mqtt;
    mqttSettings.uploads = !s.upload.remote.empty();
    mqttSettings.quality = s.quality.enabled, mqttSettings.clearThreshold = s.quality.clearThreshold;
    mqttSettings.meteors = s.meteors.enabled;
    Result<std::unique_ptr<MqttPublisher>> mqtt =
        makeMqttPublisher(mqttSettings, source, TRAILCAM_VERSION, stderr);
    if (!mqtt) return Failure{mqtt.reason()};
    if (*mqtt && (f.daylight || mqttSettings.uploads || f.calibrator != nullptr || f.quality))
        (*mqtt)->addToStatus(moreStatus);
    if (*mqtt && f.quality)
        (*mqtt)->addQuality([quality = f.quality.get()] { return quality->latestJson(); });
    f.mqtt = std::move(*mqtt);
#endif
    Result<std::unique_ptr<Uploader>> upload =
        makeUploader(s.upload, s.snapshots.folder, s.clips.folder, &f.inUse, stderr);
    if (!upload) return Failure{upload.reason()};
    f.upload = std::move(*upload);
    f.retention = makeRetention(s.retention, s.snapshots.folder, s.clips.folder, stderr, &f.inUse,
                                f.upload ? &f.upload->queue() : nullptr);
    if (f.retention) snapshots.replaceOnlyByRetention();
    if (!s.views.liveFolder.empty())
        f.live = std::make_unique<LiveFiles>(s.views.liveFolder, source, stderr, moreStatus);
#if TRAILCAM_HAS_WEB
    if (s.web.host.empty()) return {};
    auto web = std::make_unique<WebView>(
        s.web, snapshots,
        WebView::Shown{f.clips.get(), f.keogram ? &f.keogram->strip() : nullptr, f.segments.get(), moreStatus,
                       f.quality.get(), s.snapshots.timeMap},
        source, stderr);
    if (const Result<> started = web->start(); !started) return Failure{"web view: " + started.reason()};
    f.web = std::move(web);
#endif
    return {};
}

// The source as sidecars and status files name it, without a password.
std::string sourceNameOf(const Settings& s, bool replay) {
    return withoutUserInfo(replay           ? s.replay.input
                           : s.camera.demo  ? "demo"
                           : s.indi.enabled ? "indi:" + s.indi.host + ":" + std::to_string(s.indi.port) +
                                                  (s.indi.camera.empty() ? "" : "/" + s.indi.camera)
                                            : s.camera.device);
}

TrailChoices trailChoices(const Settings& s, bool replay, const Daylight* daylight) {
    // Meteors are timed by the time map: without --time-map, one of the
    // rises by more than their margin.
    return {s.snapshots.saveOnExit,
            replay,
            static_cast<int64_t>(s.camera.reconnectSeconds * 1000),
            s.snapshots.timeMap || s.meteors.enabled,
            s.flashes.rule,
            s.snapshots.sixteenBits,
            s.snapshots.stretch,
            daylight,
            s.sun.closeCamera,
            s.snapshots.timeMap || !s.meteors.enabled ? 0 : s.meteors.rules.margin};
}

// The trail loop on a source, with the listeners the settings ask for.
int runTrail(const Settings& s, CaptureState& capture, Display& display, bool replay,
             Calibrator* calibrator) {
    StartupPanorama startup;
    capture.panorama = &startup;
    // 1. The snapshot folder, taken for this run.
    SnapshotFolder snapshots(s.snapshots.folder, static_cast<int64_t>(s.snapshots.minFreeMb * 1048576),
                             stderr);
    if (const Result<> opened = snapshots.open(); !opened) {
        std::fprintf(stderr, "trailcam: cannot use the snapshot folder %s: %s\n", s.snapshots.folder.c_str(),
                     opened.reason().c_str());
        return 1;
    }
    // 2. What goes beside each snapshot.
    const std::string sourceName = sourceNameOf(s, replay);
    PanoramaView panorama(startup, stderr);
    SnapshotMetadata metadata(sourceName, TRAILCAM_VERSION);
    if (calibrator != nullptr)
        metadata.addMembers([calibrator](const SnapshotDue&) { return calibrator->sidecarMembers(); });
    describeSnapshots(snapshots, s.snapshots, panorama, metadata);
    // 3. The features.
    Features features;
    features.calibrator = calibrator;
    if (const Result<> made = makeFeatures(features, s, snapshots, panorama, sourceName, replay, capture.cap);
        !made) {
        std::fprintf(stderr, "trailcam: %s\n", made.reason().c_str());
        return 1;
    }
    if (features.quality)
        metadata.addMembers([quality = features.quality.get()](const SnapshotDue& due) {
            return quality->sidecarMembers(due);
        });
    if (features.meteors)
        metadata.addMembers([meteors = features.meteors.get()](const SnapshotDue& due) {
            return meteors->sidecarMembers(due);
        });
    // 4. Every listener in order, the windows last;
    // what one does, all are told.
    StatusPrinter printer(stdout, stderr);
    Windows windows(display, s.snapshots.panorama ? &panorama : nullptr);
    // The snapshot folder before the status lines: an orderly end waits for
    // the snapshots still being written before "closing app". The service
    // manager hears of the end before that wait.
    const std::unique_ptr<ServiceNotifier> service = makeServiceNotifier();
    std::vector<TrailListener*> listeners{&snapshots, &printer};
    if (service) listeners.insert(listeners.begin(), service.get());
    for (TrailListener* listener : features.listeners())
        listeners.push_back(listener);
    listeners.push_back(&windows);
    ListenerSet announcements(listeners);
    snapshots.announceTo(&announcements);
    if (features.clips) features.clips->announceTo(&announcements);
    if (features.meteors) features.meteors->announceTo(&announcements);
    // 5. The loop.
    TrailInputs inputs{display,        snapshots,
                       stdin,          [] { return mayReadTerminal(fileno(stdin)); },
                       &stopRequested, [] { return millis(); }};
    Budget budget(stderr);
    TrailLoop loop(inputs, trailChoices(s, replay, features.daylight.get()),
                   s.budget.print ? budget.timed(listeners) : listeners);
    if (const auto newest = snapshots.newest())
        std::fprintf(stderr, "snapshots continue after %s\n",
                     snapshots.pathOf(loop.continueNumberingAfter(*newest)).c_str());
    CaptureSource source(capture);
    const int status = loop.run(source);
    if (s.budget.print) budget.print();
    return snapshots.finalSnapshotLost() ? 1 : status;
}

// A master dark instead of a run: the per-pixel median of the next images
// the camera delivers, written with its sidecar.
int makeDark(const Settings& s, Camera& camera, const CameraMode& asked) {
    const CalibrationSettings& c = s.calibration;
    const auto fail = [&c](const std::string& why) {
        std::fprintf(stderr, "trailcam: %s: no dark written to %s\n", why.c_str(), c.makeDark.c_str());
        return 1;
    };
    if (!camera.isOpened()) return fail("cannot open the camera");
    camera.configure(asked);
    const std::string folder = std::filesystem::path(c.makeDark).parent_path().string();
    MedianImage median(folder.empty() ? "." : folder);
    const std::unique_ptr<ProgressLine> progress =
        isatty(fileno(stderr)) != 0 ? std::make_unique<ProgressLine>(stderr) : nullptr;
    double celsiusSum = 0;
    int celsiusCount = 0;
    cv::Size size;
    int type = 0;
    while (median.count() < c.darkFrames) {
        // A stop (Ctrl-C, SIGTERM) ends it at once: a dark of fewer images is no dark.
        if (stopRequested != 0) return fail("stopped");
        Frame frame;
        camera.read(frame);
        if (frame.image.empty())
            return fail(stopRequested != 0
                            ? "stopped"
                            : "the camera delivered no image after " + std::to_string(median.count()) +
                                  " of " + std::to_string(c.darkFrames));
        if (const Result<> added = median.add(frame.image); !added) return fail(added.reason());
        size = frame.image.size(), type = frame.image.type();
        if (const std::optional<double> celsius = camera.sensorCelsius())
            celsiusSum += *celsius, ++celsiusCount;
        if (progress) progress->update(median.count(), c.darkFrames);
    }
    if (progress) progress->finish();
    const Result<cv::Mat> dark = median.median();
    if (!dark) return fail(dark.reason());
    if (stopRequested != 0) return fail("stopped");
    const auto dot = c.makeDark.rfind('.');
    const Result<std::vector<uchar>> image =
        encodeImage(dot == std::string::npos ? "" : c.makeDark.substr(dot), *dark);
    if (!image) return fail(image.reason());
    // What the camera tells of its exposure and gain first; else what it was set to.
    const std::optional<double> exposure = camera.exposureSeconds(), gain = camera.gain();
    DarkDescription description{
        exposure ? exposure : c.exposureSeconds, gain ? gain : c.gain, std::nullopt, size,
        CV_MAT_DEPTH(type) == CV_16U ? 16 : 8,   c.darkFrames,         millis()};
    if (celsiusCount > 0) description.temperature = celsiusSum / celsiusCount;
    const std::string sidecar = darkSidecarJson(description);
    // The dark and its sidecar both, or neither: a new dark beside the old
    // one's sidecar would be chosen for settings it was not made with.
    if (const Result<> written = writeFilesTogether(
            {{c.makeDark, *image}, {darkSidecarPath(c.makeDark), {sidecar.begin(), sidecar.end()}}});
        !written)
        return fail(written.reason());
    std::printf("dark: the median of %d images of %dx%d, written to %s\n", c.darkFrames, size.width,
                size.height, c.makeDark.c_str());
    return 0;
}

// The trail loop on a camera, its images calibrated first when asked (an
// image stage over the camera); or a master dark made of them instead.
int runOn(const Settings& s, Camera& camera, FILE* notices, CaptureSettings asked, Display& display,
          bool replay) {
    if (!s.calibration.makeDark.empty()) return makeDark(s, camera, asked.mode);
    std::unique_ptr<Calibrator> calibrator;
    std::unique_ptr<CalibratedCamera> calibrated;
    if (s.calibration.asked()) {
        Result<std::unique_ptr<Calibrator>> made =
            Calibrator::make(s.calibration, s.snapshots.folder, stderr);
        if (!made) return std::fprintf(stderr, "trailcam: %s\n", made.reason().c_str()), 1;
        calibrator = std::move(*made);
        calibrated = std::make_unique<CalibratedCamera>(camera, *calibrator);
        // The first image, read ahead at the size asked for, must fit the dark and the mask.
        if (asked.mode.size.area() > 0) calibrated->configure(asked.mode);
        if (const Result<> fits = calibrated->checkFirstImage(); !fits)
            return std::fprintf(stderr, "trailcam: %s\n", fits.reason().c_str()), 1;
    }
    SystemProcessorClock processorClock;
    CaptureState capture(calibrated ? *calibrated : camera, processorClock, stdout, notices, asked);
    return runTrail(s, capture, display, replay, calibrator.get());
}

// A recording instead of a camera: the same start-up and loop, on the
// recording's own time and as fast as it decodes.
int replay(const Settings& s) {
    const ReplaySettings& source = s.replay;
    const int threads = source.threads > 0
                            ? source.threads
                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    Result<std::unique_ptr<RecordedInput>> input =
        openRecordedInput(source.input, source.inputFps, threads, stderr, source.inputStart);
    if (!input) {
        std::fprintf(stderr, "trailcam: %s\n", input.reason().c_str());
        return 1;
    }
    HighGuiDisplay display(stderr, !source.show, false);
    return runOn(s, **input, nullptr, {}, display, true);
}

#if TRAILCAM_HAS_INDI
// An astronomy camera through an INDI server: its list, or a run on it.
int runIndi(const Settings& s) {
    if (s.camera.listDevices) {
        const auto cameras = IndiCamera::cameras(s.indi);
        if (!cameras) return std::fprintf(stderr, "trailcam: %s\n", cameras.reason().c_str()), 1;
        for (const auto& [name, size] : *cameras)
            std::printf("%s  %dx%d\n", name.c_str(), size.width, size.height);
        return 0;
    }
    if (s.camera.listControls) {
        const Result<std::string> controls = IndiCamera::controls(s.indi);
        if (!controls) return std::fprintf(stderr, "trailcam: %s\n", controls.reason().c_str()), 1;
        std::fputs(controls->c_str(), stdout);
        return 0;
    }
    installStopSignals();
    IndiCamera camera(s.indi, stderr, &stopRequested);
    while (!camera.open()) {
        if (s.camera.reconnectSeconds <= 0 || stopRequested != 0) return 1;
        for (double waited = 0; waited < s.camera.reconnectSeconds && stopRequested == 0; waited += 0.1)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    HighGuiDisplay display(stderr, s.views.headless);
    return runOn(s, camera, stderr, {camera.reported()}, display, false);
}
#endif

}  // namespace

int runTool(const Settings& s, cv::VideoCapture& cap) {
    if (s.compose.asked) return runCompose(s.compose, stdout, stderr);
    if (s.meteorList.asked) return runMeteorList(s.meteorList, stdout, stderr);
    ignoreBrokenPipes();
    // OpenCV's pool of threads starts at its first parallel work: under a name of its own.
    startThreadsNamed("trailcam-cv", [] { cv::parallel_for_(cv::Range(0, 64), [](const cv::Range&) {}); });
    // Status lines reach a pipe or a log file as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#if TRAILCAM_HAS_INDI
    if (s.indi.enabled) return runIndi(s);
#endif
    if (s.camera.listDevices) {
        std::fputs(describeVideoDevices(listVideoDevices()).c_str(), stdout);
        return 0;
    }
    const CameraSettings& source = s.camera;
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
    if (!s.replay.input.empty()) return replay(s);

    VideoCaptureCamera camera(cap, source.device, &stopRequested, stderr);
    ControlledCamera controlled(
        camera, source.controls,
        [&node](const std::string& name, int64_t value) { return setV4l2Control(node, name, value); }, stderr,
        [&node](const std::string& name) { return getV4l2Control(node, name); });
    // A Motion-JPEG camera's images are decoded on a few threads at once.
    PooledDecoding decoded(controlled,
                           std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 4), stderr);
    DemoSky sky(30, source.demoSpeed, millis());
    if (!source.demo) camera.open();
    Camera& chosen = source.demo ? static_cast<Camera&>(sky) : decoded;
    HighGuiDisplay display(stderr, s.views.headless);
    int status = 0;
    if (s.record.enabled) {
        SystemProcessorClock processorClock;
        CaptureState capture(chosen, processorClock, stdout, stderr, {{source.size, source.fps}});
        status = captureVideoOut(capture, display, s.record.base + ".avi", s.record.base + ".xml",
                                 &stopRequested) == 0
                     ? 0
                     : 1;
    } else {
        status = runOn(s, chosen, stderr, {{source.size, source.fps}}, display, false);
    }
    if (camera.openAbandoned()) {
        // A thread is still inside OpenCV opening the device: end without
        // tearing down what it may touch.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

#include "trail/TrailLoop.h"

#include "core/EightBits.h"
#include "trail/TimeMap.h"
#include "trail/TrailGrowth.h"

#include <poll.h>

#include <utility>

namespace {

// Esc or q, judged on the low byte of the full key code.
bool isStopKey(int code) {
    const auto key = static_cast<signed char>(code & 0xff);
    return key == 27 || key == 113;
}

constexpr int kReconnectPollMs = 100;

}  // namespace

TrailLoop::TrailLoop(TrailInputs inputs, TrailChoices choices, std::vector<TrailListener*> listeners)
    : inputs_(std::move(inputs)), choices_(choices), listeners_(std::move(listeners)) {}

template <typename Event>
void TrailLoop::tell(Event event) {
    for (TrailListener* listener : listeners_)
        event(*listener);
}

int TrailLoop::run(FrameSource& source) {
    // A replay merges every recorded image: start-up's reads begin the first trail.
    std::vector<Frame> startup;
    if (choices_.replay) source.keepImagesIn(&startup);
    source.start();
    source.next();
    source.keepImagesIn(nullptr);
    tell([](TrailListener& l) { l.started(); });
    source.camera().reportExposures(
        [this](const Exposure& exposure) { tell([&exposure](TrailListener& l) { l.exposing(exposure); }); });
    for (Frame& frame : startup) {
        toEightBits(frame);
        lastFrameMillis_ = frame.millis;
        if (!leftOutByDaylight(frame)) merge(frame, false);
    }
    while (!state_.stopapp && pass(source)) {
    }
    if ((choices_.saveOnExit && state_.frameCounter > 0) || (choices_.replay && state_.unsaved))
        snapshot(choices_.replay && !state_.stopapp ? SnapshotReason::endOfInput : SnapshotReason::exit,
                 lastFrameMillis_);
    endFlashRun();
    tell([](TrailListener& l) { l.ended(); });
    source.camera().reportExposures(nullptr);
    return 0;
}

bool TrailLoop::pass(FrameSource& source) {
    Frame frame = source.next();
    if (frame.image.empty() && stopSignalled() && source.camera().isOpened()) {
        // A read a stop cut short on an open camera (a long exposure given
        // up before its first image) is no lost camera: the run ends as on
        // a stop key. A camera that never opened is empty, as ever.
        tell([](TrailListener& l) { l.stopping(); });
        state_.stopapp = true;
        return false;
    }
    if (frame.image.empty() && !cameraCameBack(source, frame)) return false;
    lastFrameMillis_ = frame.millis;
    // What a stage left for the merge goes with a plain merge of the image
    // into a trail it fits (no tick, no time map, no flash judged); else it
    // is done before anything reads the image.
    const TrailState& s = state_;
    if (s.imMin.empty() || frame.millis >= s.nextInfoTime || choices_.timeMap || choices_.flashes ||
        frame.image.size() != s.imMin.size() || frame.image.type() != s.imMin.type())
        frame.finishNow();
    toEightBits(frame);
    if (frame.mendTrail && !state_.imMin.empty()) {
        frame.mendTrail(state_.imMin);
        frame.mendTrail(state_.imOld);
    }
    // A clock set back (an NTP step, a board that learns the time after
    // boot) must not hold the ticks back for as long as it jumped.
    if (frame.millis < state_.nextInfoTime - kInfoPeriodMs)
        state_.nextInfoTime = frame.millis + kInfoPeriodMs;
    if (leftOutByDaylight(frame)) {
        if (frame.millis >= state_.nextInfoTime) infoTick(frame, false);
        pollKeys();
        if (choices_.dayCloseCamera && !choices_.replay && !state_.stopapp)
            return closedThroughTheDay(source, frame.millis);
        return true;
    }
    const bool tick = !state_.imMin.empty() && frame.millis >= state_.nextInfoTime;
    // In a tick pass the growth measure and the merge share one pass over
    // the trail, when the frame fits it (and no time map is kept).
    const bool fused = !choices_.timeMap && !choices_.flashes && frame.image.size() == state_.imMin.size() &&
                       frame.image.type() == state_.imMin.type() && frame.image.depth() == CV_8U;
    if (tick) infoTick(frame, fused);
    merge(frame, tick && fused);
    pollKeys();
    return true;
}

// False when the run ends here; true when the camera delivers frame again
// after a wait.
bool TrailLoop::cameraCameBack(FrameSource& source, Frame& frame) {
    if (choices_.replay) return false;
    if (choices_.reconnectMs > 0) return reconnect(source, frame);
    tell([](TrailListener& l) { l.cameraEmpty(); });
    if (!inputs_.mayReadTerminal || inputs_.mayReadTerminal()) waitForCharacter();
    return false;
}

// Reads one character, giving up when a stop is asked for: a signal that came
// just before the read would not interrupt it.
void TrailLoop::waitForCharacter() {
    const int fd = fileno(inputs_.terminal);
    pollfd input{fd, POLLIN, 0};
    while (fd >= 0 && !stopSignalled() && poll(&input, 1, 100) == 0) {
    }
    if (!stopSignalled()) std::fgetc(inputs_.terminal);
}

bool TrailLoop::reconnect(FrameSource& source, Frame& frame) {
    tell([this](TrailListener& l) { l.reconnecting(choices_.reconnectMs); });
    source.camera().release();
    bool stopKey = false;
    while (!stopKey && !stopSignalled()) {
        // The wait is counted in key polls, so no clock setting can stretch it.
        for (int64_t waited = 0; !stopKey && !stopSignalled() && waited < choices_.reconnectMs;
             waited += kReconnectPollMs) {
            if (waited % kInfoPeriodMs == 0) tell([](TrailListener& l) { l.waitingForCamera(); });
            stopKey = isStopKey(inputs_.keys.pollKey(kReconnectPollMs));
        }
        if (stopKey || stopSignalled() || !source.camera().reopen()) continue;
        frame = source.next();
        if (frame.image.empty()) continue;
        tell([](TrailListener& l) { l.cameraBack(); });
        return true;
    }
    tell([](TrailListener& l) { l.stopping(); });
    state_.stopapp = true;
    return false;
}

// The trail and its growth measure are 8-bit: a 16-bit camera's full range
// is mapped onto 0..255.
void TrailLoop::toEightBits(Frame& frame) {
    const int type = frame.image.type();
    if (choices_.sixteenBits && frame.image.depth() == CV_16U) return;
    if (!frame.own.empty()) convertToEightBits(frame.own);
    if (!convertToEightBits(frame.image)) return;
    if (frame.own.empty()) frame.jpeg = nullptr;  // no longer the image it was
    if (toldConversion_) return;
    toldConversion_ = true;
    tell([type](TrailListener& l) { l.converting(type); });
}

// With mergeFrame the frame is merged into the trail as well; imOld then
// holds the trail as it was before, which is what the tick shows.
void TrailLoop::infoTick(const Frame& frame, bool mergeFrame) {
    TrailState& s = state_;
    s.nextInfoTime = frame.millis + kInfoPeriodMs;
    if (s.saveTimeout > 0) --s.saveTimeout;
    s.diff = mergeFrame ? firstChannelGrowthAndMerge(s.imMin, s.imOld, frame.image)
                        : firstChannelGrowth(s.imMin, s.imOld);
    if (s.frameCounter > kMinMergedImages && s.diff > kGrowthThreshold && !s.save) {
        s.saveTimeout = kCountdownTicks;
        s.save = true;
        s.span.armed = true;
        s.span.armedMillis = frame.millis;
        s.span.armedDiff = s.diff;
    }
    const std::optional<int32_t> rejected =
        s.span.rejected ? std::optional<int32_t>(s.span.rejected->images) : std::nullopt;
    Tick tick{{s.freq, s.frameCounter, s.diff, s.trackCounter, s.save, s.saveTimeout, rejected},
              frame,
              s.imOld,
              s.span,
              s.imTime,
              choices_.stretch};
    tick.stamped = choices_.timeMapMinRise > 0 ? &s.stamped : nullptr;
    tell([&tick](TrailListener& l) { l.ticked(tick); });
    s.stamped.clear();
    s.freq = 0;
}

void TrailLoop::merge(Frame& frame, bool alreadyMerged) {
    TrailState& s = state_;
    const cv::Mat& image = frame.image;
    if (s.imMin.empty()) {
        restartTrail(frame);
    } else if (image.size() != s.imMin.size() || image.type() != s.imMin.type()) {
        // A camera that switched mode: the old trail cannot take this image.
        // A replay keeps every trail; a camera the armed one.
        const ModeChange change{s.imMin.size(), image.size(), s.imMin.type(), image.type()};
        endFlashRun();  // a run of flashes ends with the images it was judged against
        if (s.save || (choices_.replay && s.unsaved)) snapshot(SnapshotReason::modeChange, frame.millis);
        tell([&change](TrailListener& l) { l.modeChanged(change); });
        s.frameCounter = 0;
        restartTrail(frame);
    } else if (choices_.flashes && keptOutAsFlash(frame)) {
        // Neither merged nor counted.
    } else {
        if (choices_.timeMap)
            mergeRecordingTimes(s.imMin, s.imTime, image,
                                static_cast<float>(frame.millis - s.span.startMillis) / 1000.0f,
                                choices_.timeMapMinRise << (image.depth() == CV_16U ? 8 : 0),
                                choices_.timeMapMinRise > 0 ? &s.stamped : nullptr);
        else if (frame.finish)
            std::exchange(frame.finish, nullptr)(&s.imMin);
        else if (!alreadyMerged && !choices_.flashes)  // flashes: merged while judged
            cv::max(s.imMin, image, s.imMin);
        s.unsaved = true;
        s.span.endMillis = frame.millis;
        ++s.span.images;
        ++s.frameCounter;
        ++s.freq;
        if (s.saveTimeout == 0 && s.save) {
            snapshot(SnapshotReason::countdown, frame.millis);
            restartTrail(frame);
            s.unsaved = false;  // the new trail's first image is in the snapshot already
        }
    }
    tell([&frame](TrailListener& l) { l.framed(frame); });
}

// True when the image is a flash, kept out of the trail; after images kept
// out for longer than the rule allows, the scene has changed: the trail is
// written and starts again with this image.
bool TrailLoop::keptOutAsFlash(const Frame& frame) {
    TrailState& s = state_;
    const FlashRule& rule = *choices_.flashes;
    // The judgement merges as it goes, but for a time map, which merges by itself.
    const FlashJudgement judged =
        choices_.timeMap ? FlashGate::judge(s.imMin, frame.image, rule.margin, rule.percent / 100)
                         : gate_.mergeUnlessFlash(s.imMin, frame.image, rule.margin, rule.percent / 100);
    if (!judged.flash) {
        endFlashRun();
        return false;
    }
    if (flashRun_ && frame.millis - flashRun_->firstMillis > static_cast<int64_t>(rule.maxSeconds * 1000)) {
        endFlashRun();
        if (s.unsaved) snapshot(SnapshotReason::sceneChange, frame.millis);
        s.frameCounter = 0;
        restartTrail(frame);
        return true;
    }
    if (!flashRun_) flashRun_ = FlashRun{frame.millis, frame.millis, 0, 0};
    flashRun_->lastMillis = frame.millis;
    ++flashRun_->images;
    flashRun_->share = std::max(flashRun_->share, judged.share);
    TrailSpan::Rejected& rejected = *s.span.rejected;
    ++rejected.images;
    if (rejected.spans.empty() || rejected.spans.back().first != flashRun_->firstMillis)
        rejected.spans.emplace_back(frame.millis, frame.millis);
    rejected.spans.back().second = frame.millis;
    const KeptOut kept{frame, judged.share};
    tell([&kept](TrailListener& l) { l.keptOut(kept); });
    return true;
}

// With daylight: true while the sun is up. At dawn the trail in progress is
// written and a dark one stands in for the day's ticks; at dusk the next
// image starts a new trail.
bool TrailLoop::leftOutByDaylight(const Frame& frame) {
    if (choices_.daylight == nullptr) return false;
    const bool day = choices_.daylight->isDay(frame.millis);
    const std::optional<bool> before = std::exchange(day_, day);
    if (before == day) return day;
    if (day) {
        if (before.has_value() && state_.unsaved) snapshot(SnapshotReason::dawn, frame.millis);
        darkTrail(frame);
        tell([&frame](TrailListener& l) { l.dawn(frame.millis); });
        return true;
    }
    if (before.has_value()) {
        // The dark trail goes: the image starts a new one.
        for (cv::Mat* dark : {&state_.imMin, &state_.imTime}) {
            if (!dark->empty()) buffers_.push_back(*dark);
            dark->release();
        }
        state_.frameCounter = 0;
        tell([&frame](TrailListener& l) { l.dusk(frame.millis); });
    }
    return false;
}

// The camera let go of until the sun's next change (by the clock, or by the
// time waited counted from the last image), then opened again; keys and stop
// requests are heard all the while. False when the run ends meanwhile.
bool TrailLoop::closedThroughTheDay(FrameSource& source, int64_t dayMillis) {
    source.camera().release();
    int64_t waited = 0;
    const auto now = [this, dayMillis, &waited] {
        return inputs_.wallMillis ? inputs_.wallMillis() : dayMillis + waited;
    };
    // The sky is asked again at each step: a clock set (back to tonight,
    // say) moves the dusk waited for. A polar day has no change: the steps
    // go on.
    while (choices_.daylight->isDay(now())) {
        const int64_t change = choices_.daylight->nextChange(now());
        const int64_t step =
            change != 0 ? std::clamp<int64_t>(change - now(), 1, kInfoPeriodMs) : kInfoPeriodMs;
        if (!waitUnlessStopped(step)) return false;
        waited += step;
    }
    while (!source.camera().reopen())
        if (!waitUnlessStopped(choices_.reconnectMs > 0 ? choices_.reconnectMs : 5000)) return false;
    return true;
}

// Waits so long in key polls, telling that the loop is alive once a second;
// false (the run ends) on a stop key or request.
bool TrailLoop::waitUnlessStopped(int64_t ms) {
    for (int64_t waited = 0; waited < ms; waited += kReconnectPollMs) {
        if (waited % kInfoPeriodMs == 0) tell([](TrailListener& l) { l.waitingForCamera(); });
        if (isStopKey(
                inputs_.keys.pollKey(static_cast<int>(std::min<int64_t>(kReconnectPollMs, ms - waited)))) ||
            stopSignalled()) {
            tell([](TrailListener& l) { l.stopping(); });
            state_.stopapp = true;
            return false;
        }
    }
    return true;
}

void TrailLoop::darkTrail(const Frame& frame) {
    TrailState& s = state_;
    restartTrail(frame);
    s.imMin.setTo(0);
    s.imOld.setTo(0);
    s.frameCounter = 0;
    s.freq = 0;
    s.unsaved = false;
    s.span.images = 0;
}

void TrailLoop::endFlashRun() {
    if (!flashRun_) return;
    const FlashRun run = *flashRun_;
    flashRun_.reset();
    tell([&run](TrailListener& l) { l.flashRunEnded(run); });
}

void TrailLoop::snapshot(SnapshotReason reason, int64_t millis) {
    TrailState& s = state_;
    s.frameCounter = 0;
    s.unsaved = false;
    if (!inputs_.snapshots.hasRoom()) return;
    // Numbers already taken (an older snapshot that a clock made look older,
    // a file put there by hand) are passed over, never replaced.
    const int32_t number =
        nextSnapshotNumber(s.trackCounter, [this](int32_t n) { return inputs_.snapshots.taken(n); });
    if (inputs_.snapshots.taken(number) && !inputs_.snapshots.mayReplace(number)) return;
    s.trackCounter = number;
    const SnapshotDue due{s.trackCounter, s.imMin, reason, millis, s.span, s.imTime};
    tell([&due](TrailListener& l) { l.snapshotDue(due); });
    // The snapshot's images are its own now: the next trail takes others.
    for (cv::Mat* handed : {&s.imMin, &s.imTime}) {
        if (!handed->empty()) buffers_.push_back(*handed);
        handed->release();
    }
    constexpr size_t kBuffersKept = 4;
    if (buffers_.size() > kBuffersKept) buffers_.erase(buffers_.begin(), buffers_.end() - kBuffersKept);
}

// A buffer of this size and type that nobody else holds (a snapshot's, once
// written); an empty one when there is none.
cv::Mat TrailLoop::spareBuffer(cv::Size size, int type) {
    for (auto it = buffers_.begin(); it != buffers_.end(); ++it) {
        // Held only here once its last other holder let go; that letting go
        // (an atomic decrement) is seen before the buffer is written again.
        if (it->size() != size || it->type() != type ||
            __atomic_load_n(&it->u->refcount, __ATOMIC_ACQUIRE) != 1)
            continue;
        cv::Mat buffer = *it;
        buffers_.erase(it);
        return buffer;
    }
    return {};
}

// Makes a spare buffer of this size and type, its memory mapped in, unless
// one is there already (free or not).
void TrailLoop::prepareBuffer(cv::Size size, int type) {
    for (const cv::Mat& buffer : buffers_)
        if (buffer.size() == size && buffer.type() == type) return;
    buffers_.emplace_back(size, type, cv::Scalar::all(0));
}

int32_t TrailLoop::continueNumberingAfter(int32_t newest) {
    const int32_t next = nextSnapshotNumber(newest, [this](int32_t n) { return inputs_.snapshots.taken(n); });
    state_.trackCounter = next == 0 ? kLastSnapshotNumber : next - 1;
    return state_.trackCounter;
}

int32_t TrailLoop::nextSnapshotNumber(int32_t last, const std::function<bool(int32_t)>& taken) {
    const auto following = [](int32_t n) { return n >= kLastSnapshotNumber ? 0 : n + 1; };
    int32_t number = following(last);
    for (int32_t tried = 0; tried <= kLastSnapshotNumber; ++tried, number = following(number))
        if (!taken(number)) return number;
    return following(last);
}

void TrailLoop::restartTrail(const Frame& frame) {
    TrailState& s = state_;
    s.unsaved = true;
    const cv::Size size = frame.image.size();
    if (s.imMin.empty()) s.imMin = spareBuffer(size, frame.image.type());
    frame.image.copyTo(s.imMin);
    frame.image.copyTo(s.imOld);
    s.diff = 0;
    s.save = false;
    s.saveTimeout = 0;
    s.span = {frame.millis, frame.millis, 1, false, 0, 0, std::nullopt};
    if (choices_.flashes) s.span.rejected.emplace();
    if (choices_.timeMap) {
        if (s.imTime.empty()) s.imTime = spareBuffer(size, CV_32FC1);
        s.imTime.create(size, CV_32FC1);
        s.imTime.setTo(0);
        s.stamped.clear();
        s.stamped.most = size.area() / 20;
        prepareBuffer(size, CV_32FC1);
    }
    prepareBuffer(size, frame.image.type());
}

bool TrailLoop::stopSignalled() const {
    return inputs_.stopRequested != nullptr && *inputs_.stopRequested != 0;
}

void TrailLoop::pollKeys() {
    if (isStopKey(inputs_.keys.pollKey(kKeyPollMs)) || stopSignalled()) {
        tell([](TrailListener& l) { l.stopping(); });
        state_.stopapp = true;
    }
}

#pragma once

#include "core/TrailEvents.h"
#include "core/Worker.h"
#include "meteors/MeteorDetector.h"
#include "meteors/MeteorLog.h"
#include "meteors/MeteorOptions.h"

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Finds meteors at each tick in the pixels that rose since the last one,
// with the times the time map gives them (the loop keeps one while meteors
// are looked for). The pass over the trail and the streaks are quick enough
// for the loop's thread, which also makes a replay's meteors the same on
// every run; the night's file is written on a thread of its own. Each
// meteor is told to the other listeners (clips, MQTT, the web view), with a
// thumbnail of the trail around it, and said in one line.
class Meteors : public TrailListener {
public:
    Meteors(const MeteorSettings& settings, const std::string& folder, FILE* err);
    ~Meteors() override;

    // Told of each meteor. Set before images come.
    void announceTo(Announcements* announcements) { announcements_ = announcements; }

    void framed(const Frame& frame) override;
    void ticked(const Tick& tick) override;
    void ended() override;
    void clipWritten(const ClipWritten& clip) override;

    // A snapshot's sidecar: "\"meteors\":N", those that started within its trail.
    std::string sidecarMembers(const SnapshotDue& due) const;
    // The night's meteors so far, in time order (the file's).
    std::vector<Meteor> night() const;

private:
    bool risenOf(const Tick& tick);
    void found(std::vector<Meteor> meteors, const Tick* tick);
    double period() const;

    MeteorSettings settings_;
    FILE* err_;
    Announcements* announcements_ = nullptr;
    MeteorDetector detector_;
    cv::Mat previous_;   // with --time-map: a copy of the trail at the last tick
    cv::Mat lastTrail_;  // the loop's, as the last tick showed it
    std::vector<Risen> risen_;
    std::deque<int64_t> recentTimes_;  // of the last images, for their rate
    int64_t lastMillis_ = 0;
    int64_t sinceMillis_ = INT64_MIN;  // after the last image the last tick saw
    bool ended_ = false;
    mutable std::mutex mutex_;
    MeteorLog log_;                                       // under mutex_
    Worker<std::pair<std::string, std::string>> writer_;  // last: path and text of the file to write
};

// The finder the settings ask for (none without --meteors).
std::unique_ptr<Meteors> makeMeteors(const MeteorSettings& settings, const std::string& folder, FILE* err);

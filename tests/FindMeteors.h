#pragma once

// The meteor finder run through the real loop over a synthetic night, and
// how what it found compares with the truth.

#include "Fakes.h"
#include "MeteorSky.h"
#include "meteors/Meteors.h"
#include "trail/TrailLoop.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The sky's images one after another, then none.
class MeteorSkySource : public FrameSource, public Camera {
public:
    explicit MeteorSkySource(const MeteorSky& sky) : sky_(sky) {}
    bool start() override { return true; }
    Frame next() override {
        Frame frame;
        read(frame);
        if (kept_ != nullptr && !frame.image.empty()) kept_->push_back(frame);
        return frame;
    }
    void keepImagesIn(std::vector<Frame>* kept) override { kept_ = kept; }
    Camera& camera() override { return *this; }
    bool isOpened() const override { return true; }
    void configure(const CameraMode&) override {}
    CameraMode reported() const override { return {sky_.settings().size, sky_.settings().fps}; }
    void read(Frame& frame) override {
        frame = next_ < sky_.frames() ? Frame(sky_.frame(next_), sky_.millis(next_)) : Frame();
        ++next_;
    }

private:
    const MeteorSky& sky_;
    int next_ = 0;
    std::vector<Frame>* kept_ = nullptr;
};

// The meteors the finder gives over the whole sky, replayed through the
// loop (with flashes kept out when asked; with a time map of every rise, as
// --time-map keeps it, when asked), its file written in folder.
inline std::vector<Meteor> findMeteors(const MeteorSky& sky, const MeteorRules& rules,
                                       const std::string& folder, bool keepFlashesOut = false,
                                       FILE* err = nullptr, bool everyRise = false) {
    MeteorSkySource source(sky);
    ScriptedDisplay display;
    MemorySnapshots snapshots;
    FILE* quiet = std::fopen("/dev/null", "w");
    FILE* terminal = std::fopen("/dev/null", "r");
    std::vector<Meteor> found;
    {
        Meteors meteors({true, rules}, folder, err != nullptr ? err : quiet);
        TrailChoices choices;
        choices.replay = true;
        choices.timeMap = true;
        // As the tool keeps it: with --time-map every rise, else the big ones only.
        choices.timeMapMinRise = everyRise ? 0 : rules.margin;
        if (keepFlashesOut) choices.flashes = FlashRule{};
        TrailLoop loop({display, snapshots, terminal, nullptr, nullptr}, choices, {&snapshots, &meteors});
        loop.run(source);
        found = meteors.night();
    }
    std::fclose(quiet);
    std::fclose(terminal);
    return found;
}

// How the found meteors compare with the truth.
struct MeteorScore {
    int bright = 0, brightFound = 0;  // meteors at least 30 above the sky and 40 px long, and found
    int found = 0, falseOnes = 0;
    int timedWell = 0;    // found with their start within 2 images and both ends within 5 px
    int closeEnough = 0;  // within a quarter second and 15 px, in the right direction
    int faintestFound = 1 << 30;
    double shortestFound = 1e9;
};

inline MeteorScore scoreMeteors(const MeteorSky& sky, const std::vector<Meteor>& found) {
    MeteorScore score;
    score.found = static_cast<int>(found.size());
    std::vector<bool> used(found.size(), false);
    const double frame = 1000 / sky.settings().fps;
    for (const TrueMeteor& truth : sky.meteors()) {
        const bool bright = truth.amplitude >= 30 && truth.length() >= 40;
        score.bright += bright ? 1 : 0;
        for (size_t k = 0; k < found.size(); ++k) {
            const Meteor& m = found[k];
            if (used[k] || std::abs(static_cast<double>(m.startMillis - truth.startMillis)) > 1000) continue;
            const double fromError = cv::norm(cv::Point2d(m.from) - truth.from),
                         toError = cv::norm(cv::Point2d(m.to) - truth.to);
            if (fromError > 40 || toError > 40) continue;  // another streak
            used[k] = true;
            score.brightFound += bright ? 1 : 0;
            const double startError = std::abs(static_cast<double>(m.startMillis - truth.startMillis));
            if (startError <= 2 * frame + 1 && fromError <= 5 && toError <= 5) ++score.timedWell;
            if (startError <= 250 && fromError <= 15 && toError <= 15) ++score.closeEnough;
            score.faintestFound = std::min(score.faintestFound, truth.amplitude);
            score.shortestFound = std::min(score.shortestFound, truth.length());
            break;
        }
    }
    score.falseOnes = static_cast<int>(std::count(used.begin(), used.end(), false));
    return score;
}

// The meteor finder's quality on synthetic nights with known truth: an hour
// of a 480 x 360 sky at 25 images a second (stars drifting and twinkling,
// noise of 2 levels, meteors of 0.2-1.5 s and 40-250 px, blinking planes,
// satellites, lit clouds, flashes kept out), seeded, replayed through the
// loop with the finder. Prints the table README.md shows.
// Usage: bench_meteor_nights [MINUTES] [SEED] [MARGIN]
#include "tests/FindMeteors.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <unistd.h>

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 60;
    const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    MeteorRules rules;
    if (argc > 3) rules.margin = std::atoi(argv[3]);
    MeteorSkySettings s;
    s.seconds = minutes * 60;
    s.seed = seed;
    s.meteors = static_cast<int>(minutes * 4);  // one every 15 s
    s.planes = static_cast<int>(minutes / 2), s.satellites = static_cast<int>(minutes / 2);
    s.clouds = static_cast<int>(minutes / 6);
    s.flashes.clear();
    for (double at = 300; at < s.seconds; at += 600)
        s.flashes.push_back(at);
    const MeteorSky sky(s);
    const std::string folder =
        std::filesystem::temp_directory_path() / ("meteor-nights-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::vector<Meteor> found = findMeteors(sky, rules, folder, true);
    std::filesystem::remove_all(folder);
    const MeteorScore all = scoreMeteors(sky, found);
    // Recall by brightness: each band scored alone.
    std::printf(
        "| meteors above the sky | in the night | found | start within 2 images, ends within 5 px "
        "|\n|---|---|---|---|\n");
    for (const auto& [low, high] :
         std::vector<std::pair<int, int>>{{30, 45}, {45, 75}, {75, 151}, {30, 151}}) {
        int count = 0, foundHere = 0, timed = 0;
        const double frame = 1000 / s.fps;
        std::vector<bool> used(found.size(), false);
        for (const TrueMeteor& truth : sky.meteors()) {
            if (truth.amplitude < low || truth.amplitude >= high || truth.length() < 40) continue;
            ++count;
            for (size_t k = 0; k < found.size(); ++k) {
                const Meteor& m = found[k];
                const double fromError = cv::norm(cv::Point2d(m.from) - truth.from),
                             toError = cv::norm(cv::Point2d(m.to) - truth.to);
                if (used[k] || std::abs(static_cast<double>(m.startMillis - truth.startMillis)) > 1000 ||
                    fromError > 40 || toError > 40)
                    continue;
                used[k] = true, ++foundHere;
                if (std::abs(static_cast<double>(m.startMillis - truth.startMillis)) <= 2 * frame + 1 &&
                    fromError <= 5 && toError <= 5)
                    ++timed;
                break;
            }
        }
        std::printf("| %d-%d%s | %d | %d (%.1f%%) | %d (%.1f%%) |\n", low, high - 1,
                    low == 30 && high == 151 ? " (all)" : "", count, foundHere,
                    100.0 * foundHere / std::max(1, count), timed, 100.0 * timed / std::max(1, foundHere));
    }
    // What was found and is not a meteor found whole: a piece of one (on
    // its line, while it flew), or something else (a false detection).
    std::vector<bool> matched(found.size(), false);
    for (const TrueMeteor& truth : sky.meteors())
        for (size_t k = 0; k < found.size(); ++k)
            if (!matched[k] &&
                std::abs(static_cast<double>(found[k].startMillis - truth.startMillis)) <= 1000 &&
                cv::norm(cv::Point2d(found[k].from) - truth.from) <= 40 &&
                cv::norm(cv::Point2d(found[k].to) - truth.to) <= 40) {
                matched[k] = true;
                break;
            }
    const auto onLine = [](const cv::Point2d& p, const TrueMeteor& m) {
        const cv::Point2d d = m.to - m.from;
        const double u = std::clamp((p - m.from).dot(d) / d.dot(d), 0.0, 1.0);
        return cv::norm(p - (m.from + d * u)) <= 6;
    };
    int pieces = 0, others = 0;
    for (size_t k = 0; k < found.size(); ++k) {
        if (matched[k]) continue;
        const Meteor& m = found[k];
        const bool piece = std::any_of(sky.meteors().begin(), sky.meteors().end(), [&](const TrueMeteor& t) {
            return m.startMillis >= t.startMillis - 100 && m.endMillis <= t.endMillis + 100 &&
                   onLine(cv::Point2d(m.from), t) && onLine(cv::Point2d(m.to), t);
        });
        (piece ? pieces : others) += 1;
        if (std::getenv("MISMATCHED") != nullptr)
            std::printf("%s: %s\n", piece ? "piece" : "not a meteor", meteorJson(m).c_str());
    }
    std::printf(
        "\n%.0f minutes, seed %llu, margin %d: %d found: %d pieces of meteors, %d false (%.1f an hour); "
        "faintest found %d levels, shortest %.0f px\n",
        minutes, static_cast<unsigned long long>(seed), rules.margin, all.found, pieces, others,
        others * 60 / minutes, all.faintestFound, all.shortestFound);
    return 0;
}

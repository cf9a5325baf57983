#include "meteors/MeteorDetector.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <tuple>
#include <type_traits>

namespace {

// A streak narrower than this (root mean square, pixels) is a line; clouds are wider.
constexpr double kMaxWidth = 3;
// Pixels farther than this from a streak's line are not of it.
constexpr double kBeside = 6;
// Pixels this close (in x and in y) are of one streak: a gap of a pixel is bridged.
constexpr int kReach = 2;
// Pieces of a streak this close (pixels) are one: a star trail it crossed, a tick it went on past.
constexpr double kJoinPixels = 14;
// Open streaks kept at most: a field of drifting stars leaves many.
constexpr size_t kMaxOpen = 4096;
// How long (milliseconds of image time) an ended streak waits for its
// continuation along its line before it is judged for good.
constexpr int64_t kHoldMillis = 3000;
static_assert(kHoldMillis < kMeteorToldWithinSeconds * 1000, "a meteor is told within its time");

// Where the pixels of a streak taken within `slack` of `millis` are.
cv::Point2d centreNear(const std::vector<Risen>& points, int64_t millis, double slack) {
    cv::Point2d sum(0, 0);
    int count = 0;
    for (const Risen& r : points)
        if (std::abs(static_cast<double>(r.millis - millis)) <= slack) sum += cv::Point2d(r.x, r.y), ++count;
    return count > 0 ? sum / count : sum;
}

// How a streak moves (pixels a millisecond) and where it is at `millis`, by
// least squares of its pixels' places against their times; none when its
// pixels are of one time.
std::optional<std::pair<cv::Point2d, cv::Point2d>> motionOf(const std::vector<Risen>& points,
                                                            int64_t millis) {
    double st = 0, sx = 0, sy = 0, stt = 0, stx = 0, sty = 0;
    const auto n = static_cast<double>(points.size());
    for (const Risen& r : points) {
        const auto t = static_cast<double>(r.millis - millis);
        st += t, sx += r.x, sy += r.y, stt += t * t, stx += t * r.x, sty += t * r.y;
    }
    const double det = n * stt - st * st;
    if (points.size() < 2 || det <= 1e-9) return std::nullopt;
    const cv::Point2d velocity((n * stx - st * sx) / det, (n * sty - st * sy) / det);
    return std::pair{cv::Point2d(sx, sy) / n - velocity * (st / n), velocity};
}

template <typename T>
int riseOf(const T* trail, const T* previous, int channels) {
    int rise = 0;
    for (int c = 0; c < channels; ++c)
        rise = std::max(rise, static_cast<int>(trail[c]) - static_cast<int>(previous[c]));
    return rise;
}

// Which 16-value chunks of a row hold a value that rose by more than margin:
// for 8 bits a vector pass, so that a row with none costs a compare (16-bit
// trails come an image a second at most).
template <typename T>
void flagChunks(const T* trail, const T* previous, size_t values, int margin, std::vector<uint8_t>& flags) {
    flags.assign((values + 15) / 16, 0);
    size_t i = 0;
#if CV_SIMD128
    if constexpr (std::is_same_v<T, uint8_t>) {
        const cv::v_uint8x16 limit = cv::v_setall_u8(static_cast<uint8_t>(std::min(margin, 255)));
        for (; i + 16 <= values; i += 16) {
            const cv::v_uint8x16 rise = cv::v_load(trail + i) - cv::v_load(previous + i);  // saturating
            flags[i / 16] = cv::v_check_any(rise > limit) ? 1 : 0;
        }
    }
#endif
    for (; i < values; ++i)
        if (static_cast<int>(trail[i]) > static_cast<int>(previous[i]) + margin) flags[i / 16] = 1;
}

template <typename T>
bool collectRows(const cv::Mat& trail, cv::Mat& previous, const cv::Mat& times, int64_t startMillis,
                 int64_t sinceMillis, int margin, size_t limit, std::vector<Risen>& risen) {
    const int channels = trail.channels();
    const int shift = trail.depth() == CV_16U ? 8 : 0;
    const size_t values = static_cast<size_t>(trail.cols) * static_cast<size_t>(channels);
    std::vector<uint8_t> flags;
    bool within = true;
    for (int y = 0; y < trail.rows; ++y) {
        const T* now = trail.ptr<T>(y);
        T* before = previous.ptr<T>(y);
        if (within) {
            flagChunks<T>(now, before, values, margin, flags);
            int next = 0;  // the first pixel not looked at yet
            for (size_t chunk = 0; chunk < flags.size() && within; ++chunk) {
                if (flags[chunk] == 0) continue;
                const int to = static_cast<int>(std::min(values, chunk * 16 + 16) + channels - 1) / channels;
                for (int x = std::max(next, static_cast<int>(chunk * 16) / channels); x < to; ++x) {
                    const int rise = riseOf(now + x * channels, before + x * channels, channels);
                    if (rise <= margin) continue;
                    const int64_t at =
                        startMillis + std::llround(static_cast<double>(times.ptr<float>(y)[x]) * 1000.0);
                    if (at < sinceMillis) continue;
                    if (risen.size() >= limit) {
                        within = false;
                        break;
                    }
                    risen.push_back({x, y, at, rise >> shift});
                }
                next = to;
            }
        }
        std::memcpy(before, now, values * sizeof(T));
    }
    return within;
}

struct Groups {
    std::vector<int> parent;
    int find(int i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    }
    void join(int a, int b) {
        a = find(a), b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
};

// The risen pixels (raster order) as streaks of pixels within reach of each other.
std::vector<MeteorDetector::Track> streaksOf(const std::vector<Risen>& risen) {
    const int n = static_cast<int>(risen.size());
    Groups groups{std::vector<int>(risen.size())};
    std::iota(groups.parent.begin(), groups.parent.end(), 0);
    // rows[k]: where the k-th row with risen pixels begins, for the rows above.
    std::vector<std::pair<int, int>> rows;  // (y, first index)
    for (int i = 0; i < n; ++i)
        if (rows.empty() || rows.back().first != risen[i].y) rows.emplace_back(risen[i].y, i);
    rows.emplace_back(INT32_MAX, n);
    size_t row = 0;
    for (int i = 0; i < n; ++i) {
        while (rows[row + 1].second <= i)
            ++row;
        const Risen& p = risen[i];
        for (int j = i - 1; j >= rows[row].second && risen[j].x >= p.x - kReach; --j)
            groups.join(i, j);
        for (size_t above = row; above-- > 0 && risen[rows[above].second].y >= p.y - kReach;) {
            const auto begin = risen.begin() + rows[above].second,
                       end = risen.begin() + rows[above + 1].second;
            auto it =
                std::lower_bound(begin, end, p.x - kReach, [](const Risen& r, int x) { return r.x < x; });
            for (; it != end && it->x <= p.x + kReach; ++it)
                groups.join(i, static_cast<int>(it - risen.begin()));
        }
    }
    std::vector<MeteorDetector::Track> streaks;
    std::vector<int> index(risen.size(), -1);
    for (int i = 0; i < n; ++i) {
        const int root = groups.find(i);
        if (index[root] < 0) {
            index[root] = static_cast<int>(streaks.size());
            streaks.emplace_back();
            streaks.back().first = INT64_MAX, streaks.back().last = INT64_MIN;
        }
        MeteorDetector::Track& t = streaks[index[root]];
        t.points.push_back(risen[i]);
        t.first = std::min(t.first, risen[i].millis);
        t.last = std::max(t.last, risen[i].millis);
        t.bounds |= cv::Rect(risen[i].x, risen[i].y, 1, 1);
    }
    return streaks;
}

// Whether two streaks touch in space and time: pixels of both within
// reach of each other, taken within a few images. A meteor crossing a star's
// trail (where it rises too little) comes in pieces that touch so, as does
// a meteor that goes on past a tick.
bool touch(const MeteorDetector::Track& one, const MeteorDetector::Track& other, double period) {
    const auto widened = [](cv::Rect r) {
        const int reach = static_cast<int>(kJoinPixels);
        return cv::Rect(r.x - reach, r.y - reach, r.width + 2 * reach, r.height + 2 * reach);
    };
    const cv::Rect near = widened(one.bounds) & widened(other.bounds);
    if (near.empty()) return false;
    const double apart = 4 * period + 20;
    if (static_cast<double>(other.first - one.last) > apart ||
        static_cast<double>(one.first - other.last) > apart)
        return false;
    std::vector<const Risen*> mine;
    for (const Risen& a : one.points)
        if (near.contains({a.x, a.y})) mine.push_back(&a);
    for (const Risen& b : other.points) {
        if (!near.contains({b.x, b.y})) continue;
        for (const Risen* a : mine)
            if (std::abs(static_cast<double>(a->millis - b.millis)) <= apart &&
                std::hypot(a->x - b.x, a->y - b.y) <= kJoinPixels)
                return true;
    }
    return false;
}

// How a streak moves, pixels a millisecond, when it has gone on long enough
// to tell: from where it began for one that went on too long (only its end
// is kept), else from its pixels.
std::optional<cv::Point2d> velocityOf(const MeteorDetector::Track& track, double period) {
    if (track.anchor)
        return (centreNear(track.points, track.last, 1.5 * period) - track.anchor->first) /
               std::max(1.0, static_cast<double>(track.last - track.anchor->second));
    if (track.points.size() < 8 || static_cast<double>(track.last - track.first) < 3 * period)
        return std::nullopt;
    const auto motion = motionOf(track.points, track.last);
    return motion ? std::optional<cv::Point2d>(motion->second) : std::nullopt;
}

// How long a streak went on, leaving out its earliest and latest few pixels:
// a star's twinkle that touched a meteor does not make it a satellite.
double coreSeconds(const MeteorDetector::Track& track) {
    std::vector<int64_t> times;
    times.reserve(track.points.size());
    for (const Risen& r : track.points)
        times.push_back(r.millis);
    std::sort(times.begin(), times.end());
    const size_t cut = times.size() / 20;
    return static_cast<double>(times[times.size() - 1 - cut] - times[cut]) / 1000.0;
}

// Whether two velocities are of one thing: about the same direction and speed.
bool alike(const cv::Point2d& a, const cv::Point2d& b) {
    const double na = cv::norm(a), nb = cv::norm(b);
    return a.dot(b) >= 0.85 * na * nb && na >= 0.6 * nb && na <= 1.6 * nb;
}

// Pieces that touch are one streak, unless one went on too long already (a
// satellite, a drifting star) and the other moves otherwise or is too short
// to tell: a meteor that crosses such a path stays a meteor, and a star's
// twinkle stays with its star. Two pieces that are not too long are joined
// unless one is as fast as a meteor and the other clearly slow, as far as
// their extents and how long they lasted tell (a meteor across a young
// satellite's path, or past a star's twinkle): their pixels' times would
// not tell, skewed by whatever twinkled beside them.
bool ofOneStreak(const MeteorDetector::Track& one, const MeteorDetector::Track& other, double period,
                 double minSpeed) {
    if (!touch(one, other, period)) return false;
    if (one.tooLong && other.tooLong) return true;
    if (one.tooLong == other.tooLong) {
        const auto speed = [period](const MeteorDetector::Track& track) {  // pixels a second
            return std::hypot(track.bounds.width, track.bounds.height) /
                   std::max(period, static_cast<double>(track.last - track.first)) * 1000;
        };
        const double a = speed(one), b = speed(other);
        return !((a >= minSpeed && b < minSpeed / 2) || (b >= minSpeed && a < minSpeed / 2));
    }
    const MeteorDetector::Track& young = one.tooLong ? other : one;
    const std::optional<cv::Point2d> a = velocityOf(one, period), b = velocityOf(other, period);
    if (!a || !b) return std::hypot(young.bounds.width, young.bounds.height) < 8;
    return alike(*a, *b);
}

// Takes another piece of the same streak in: its pixels, times and place;
// too long if either was, followed from the earlier start.
void absorb(MeteorDetector::Track& into, MeteorDetector::Track&& other) {
    into.points.insert(into.points.end(), other.points.begin(), other.points.end());
    into.first = std::min(into.first, other.first);
    into.last = std::max(into.last, other.last);
    into.bounds |= other.bounds;
    into.tooLong = into.tooLong || other.tooLong;
    if (other.anchor && (!into.anchor || other.anchor->second < into.anchor->second))
        into.anchor = other.anchor;
}

// A streak gone on too long: followed from where it began, only its end
// kept, to know its continuation.
void followOnly(MeteorDetector::Track& track, double period) {
    if (!track.tooLong)
        track.anchor = std::pair{centreNear(track.points, track.first, 1.5 * period), track.first};
    track.tooLong = true;
    const int64_t last = track.last;
    track.points.erase(std::remove_if(track.points.begin(), track.points.end(),
                                      [last, period](const Risen& r) {
                                          return static_cast<double>(last - r.millis) > 4 * period;
                                      }),
                       track.points.end());
    track.bounds = cv::Rect();
    for (const Risen& r : track.points)
        track.bounds |= cv::Rect(r.x, r.y, 1, 1);
}

// The pixels near a line through a streak: their places along it and their
// times (seconds from its first), when most of the streak's pixels are
// that near and they are narrow (a line, not a cloud).
struct Along {
    cv::Point2d origin, along;
    std::vector<const Risen*> on;
    std::vector<double> s, t;
};
std::optional<Along> alongLine(const MeteorDetector::Track& track) {
    const std::vector<Risen>& points = track.points;
    std::vector<cv::Point2f> xy;
    xy.reserve(points.size());
    for (const Risen& r : points)
        xy.emplace_back(static_cast<float>(r.x), static_cast<float>(r.y));
    // Robust to stray pixels beside it.
    cv::Vec4f line;
    cv::fitLine(xy, line, cv::DIST_HUBER, 0, 0.01, 0.01);
    Along a{{line[2], line[3]}, {line[0], line[1]}, {}, {}, {}};
    double across = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const cv::Point2d d = cv::Point2d(xy[i].x, xy[i].y) - a.origin;
        const double off = d.x * a.along.y - d.y * a.along.x;
        if (std::abs(off) > kBeside) continue;  // a star's twinkle, a plane it passed
        a.on.push_back(&points[i]);
        a.s.push_back(d.dot(a.along));
        a.t.push_back(static_cast<double>(points[i].millis - track.first) / 1000.0);
        across += off * off;
    }
    const auto n = static_cast<double>(a.on.size());
    if (n < 0.7 * static_cast<double>(points.size()) || std::sqrt(across / n) > kMaxWidth)
        return std::nullopt;
    return a;
}

// Time along the line, t = a + b s: a Huber fit by reweighted least squares.
std::optional<std::pair<double, double>> timeFit(const std::vector<double>& s, const std::vector<double>& t,
                                                 double tolerance) {
    const size_t n = s.size();
    double a = 0, b = 0;
    std::vector<double> w(n, 1.0);
    for (int round = 0; round < 8; ++round) {
        double sw = 0, ss = 0, st = 0, sss = 0, sst = 0;
        for (size_t i = 0; i < n; ++i)
            sw += w[i], ss += w[i] * s[i], st += w[i] * t[i], sss += w[i] * s[i] * s[i],
                sst += w[i] * s[i] * t[i];
        const double det = sw * sss - ss * ss;
        if (det <= 1e-9) return std::nullopt;
        b = (sw * sst - ss * st) / det;
        a = (st - b * ss) / sw;
        for (size_t i = 0; i < n; ++i) {
            const double r = std::abs(t[i] - a - b * s[i]);
            w[i] = r <= tolerance ? 1.0 : tolerance / r;
        }
    }
    return std::pair{a, b};
}

}  // namespace

bool collectRisen(const cv::Mat& trail, cv::Mat& previous, const cv::Mat& times, int64_t startMillis,
                  int64_t sinceMillis, int margin, size_t limit, std::vector<Risen>& risen) {
    CV_Assert(times.type() == CV_32FC1 && times.size() == trail.size());
    risen.clear();
    if (previous.size() != trail.size() || previous.type() != trail.type()) {
        trail.copyTo(previous);
        return true;
    }
    if (trail.depth() == CV_16U)
        return collectRows<uint16_t>(trail, previous, times, startMillis, sinceMillis, margin << 8, limit,
                                     risen);
    CV_Assert(trail.depth() == CV_8U);
    return collectRows<uint8_t>(trail, previous, times, startMillis, sinceMillis, margin, limit, risen);
}

// The streaks still open from the last tick, then this tick's, joined
// where they touch.
std::vector<MeteorDetector::Track> MeteorDetector::joined(const std::vector<Risen>& risen, double period) {
    std::vector<Track> pieces = std::move(open_);
    open_.clear();
    const size_t carried = pieces.size();
    for (Track& streak : streaksOf(risen))
        pieces.push_back(std::move(streak));
    Groups groups{std::vector<int>(pieces.size())};
    std::iota(groups.parent.begin(), groups.parent.end(), 0);
    for (size_t j = carried; j < pieces.size(); ++j)
        for (size_t i = 0; i < j; ++i)
            if (ofOneStreak(pieces[i], pieces[j], period, rules_.minSpeed))
                groups.join(static_cast<int>(i), static_cast<int>(j));
    std::vector<Track> tracks;
    std::vector<int> index(pieces.size(), -1);
    for (size_t i = 0; i < pieces.size(); ++i) {
        const int root = groups.find(static_cast<int>(i));
        if (index[root] < 0) {
            index[root] = static_cast<int>(tracks.size());
            tracks.push_back(std::move(pieces[i]));
            continue;
        }
        absorb(tracks[index[root]], std::move(pieces[i]));
    }
    return tracks;
}

std::vector<Meteor> MeteorDetector::tick(const std::vector<Risen>& risen, int64_t lastMillis, double period) {
    std::vector<Track> tracks = joined(risen, period);
    // A streak that reached the tick's last images may go on in the next.
    const double reach = std::max(3 * period, 150.0);
    std::vector<Track> closing;
    for (Track& track : tracks) {
        if (track.tooLong || coreSeconds(track) > rules_.maxSeconds) followOnly(track, period);
        if (static_cast<double>(lastMillis - track.last) <= reach && open_.size() < kMaxOpen)
            open_.push_back(std::move(track));
        else
            closing.push_back(std::move(track));
    }
    // A streak may go on, along its line, one that ended a little while ago
    // (held, or ending now): oldest first, each ends with what it goes on.
    const auto goOn = [this, period](Track& track) {
        for (auto it = ended_.begin(); it != ended_.end(); ++it) {
            if (!goesOn(*it, track, period)) continue;
            absorb(track, std::move(it->track));
            ended_.erase(it);
            return;
        }
    };
    std::sort(closing.begin(), closing.end(),
              [](const Track& a, const Track& b) { return a.first < b.first; });
    for (Track& track : closing) {
        goOn(track);
        std::optional<Ended> ended = ending(std::move(track), period);
        if (!ended) continue;
        // Or one that ended already goes on this one (which stayed open
        // longer, for a twinkle beside it).
        for (auto it = ended_.begin(); it != ended_.end(); ++it) {
            if (!goesOn(*ended, it->track, period)) continue;
            Track later = std::move(it->track);
            ended_.erase(it);
            absorb(later, std::move(ended->track));
            ended = ending(std::move(later), period);
            break;
        }
        if (ended) ended_.push_back(std::move(*ended));
    }
    for (Track& track : open_)
        goOn(track);
    return release(lastMillis - kHoldMillis);
}

std::optional<MeteorDetector::Ended> MeteorDetector::ending(Track track, double period) const {
    if (std::hypot(track.bounds.width, track.bounds.height) < 8) return std::nullopt;  // a star's twinkle
    Ended ended;
    ended.endMillis = track.last;
    if (track.tooLong && track.anchor) {
        ended.at = centreNear(track.points, track.last, 1.5 * period);
        ended.velocity = (ended.at - track.anchor->first) /
                         std::max(1.0, static_cast<double>(track.last - track.anchor->second));
    } else if ((ended.meteor = judge(track, period))) {
        const Meteor& m = *ended.meteor;
        ended.endMillis = m.endMillis;
        ended.at = m.to;
        ended.velocity = cv::Point2d(m.to - m.from) / static_cast<double>(m.endMillis - m.startMillis);
    } else if (const auto motion = motionOf(track.points, track.last)) {
        std::tie(ended.at, ended.velocity) = *motion;
    } else {
        return std::nullopt;
    }
    // Only what moves as fast as a meteor is worth waiting for.
    if (cv::norm(ended.velocity) * 1000 < 0.7 * rules_.minSpeed) return std::nullopt;
    ended.track = std::move(track);
    return ended;
}

// Whether `track` starts where `ended`, going on as it went, would be by then.
bool MeteorDetector::goesOn(const Ended& ended, const Track& track, double period) const {
    if (std::hypot(track.bounds.width, track.bounds.height) < 8) return false;  // a star's twinkle
    const auto gap = static_cast<double>(track.first - ended.endMillis);
    if (gap < -period || gap > kHoldMillis) return false;
    // Its first pixels reach back to where the other would be by then.
    const cv::Point2d expected = ended.at + ended.velocity * gap;
    const double speed = cv::norm(ended.velocity);
    double nearest = INFINITY;
    for (const Risen& r : track.points)
        if (static_cast<double>(r.millis - track.first) <= 1.5 * period)
            nearest = std::min(nearest, cv::norm(cv::Point2d(r.x, r.y) - expected));
    if (nearest > 8 + speed * period + 0.25 * speed * std::max(0.0, gap)) return false;
    // Long enough to tell how it moves: as the one before. A streak judged
    // a meteor moves as its line and times say (a twinkle beside it does
    // not skew that).
    std::optional<cv::Point2d> v;
    if (const std::optional<Meteor> alone = track.tooLong ? std::nullopt : judge(track, period))
        v = cv::Point2d(alone->to - alone->from) / static_cast<double>(alone->endMillis - alone->startMillis);
    else
        v = velocityOf(track, period);
    return !v || alike(*v, ended.velocity);
}

// The meteors among the streaks that ended before this time, oldest first.
std::vector<Meteor> MeteorDetector::release(int64_t beforeMillis) {
    std::vector<Meteor> meteors;
    for (auto it = ended_.begin(); it != ended_.end();) {
        if (it->endMillis >= beforeMillis) {
            ++it;
            continue;
        }
        if (it->meteor) meteors.push_back(*it->meteor);
        it = ended_.erase(it);
    }
    std::sort(meteors.begin(), meteors.end(),
              [](const Meteor& a, const Meteor& b) { return a.startMillis < b.startMillis; });
    return meteors;
}

std::vector<Meteor> MeteorDetector::skip(double period, bool last) {
    for (Track& track : open_)
        if (std::optional<Ended> ended = ending(std::move(track), period))
            ended_.push_back(std::move(*ended));
    open_.clear();
    return last ? release(INT64_MAX) : std::vector<Meteor>();
}

std::optional<Meteor> MeteorDetector::judge(const Track& track, double period) const {
    const double longest = std::hypot(track.bounds.width, track.bounds.height);
    if (track.points.size() < 8 || longest < rules_.minLength || track.last - track.first < 2 * period * 0.9)
        return std::nullopt;
    const std::optional<Along> line = alongLine(track);
    if (!line) return std::nullopt;
    const std::vector<double>&s = line->s, &t = line->t;
    const size_t n = s.size();
    const double tolerance = std::max(1.5 * period, 60.0) / 1000.0;
    const std::optional<std::pair<double, double>> fit = timeFit(s, t, tolerance);
    if (!fit) return std::nullopt;
    const auto [a, b] = *fit;
    // Most of its pixels on that line in time, and the ends where they are.
    size_t inliers = 0;
    double lo = INFINITY, hi = -INFINITY;
    std::vector<int> rises;
    for (size_t i = 0; i < n; ++i) {
        if (std::abs(t[i] - a - b * s[i]) > 2 * tolerance) continue;
        ++inliers;
        lo = std::min(lo, s[i]), hi = std::max(hi, s[i]);
        rises.push_back(line->on[i]->rise);
    }
    const double length = hi - lo;
    if (static_cast<double>(inliers) < 0.7 * static_cast<double>(n) || length < rules_.minLength)
        return std::nullopt;
    const double seconds = std::abs(b) * length;
    if (seconds > rules_.maxSeconds || seconds <= 0 || length / seconds < rules_.minSpeed)
        return std::nullopt;
    // Oriented by time; the times of its ends are the images nearest the fit.
    const double startS = b > 0 ? lo : hi, endS = b > 0 ? hi : lo;
    std::vector<int64_t> frames;
    for (size_t i = 0; i < n; ++i)
        if (std::abs(t[i] - a - b * s[i]) <= 2 * tolerance) frames.push_back(line->on[i]->millis);
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    const auto nearest = [&frames, &track](double seconds) {
        const auto at = static_cast<double>(track.first) + seconds * 1000.0;
        return *std::min_element(frames.begin(), frames.end(), [at](int64_t x, int64_t y) {
            return std::abs(static_cast<double>(x) - at) < std::abs(static_cast<double>(y) - at);
        });
    };
    Meteor meteor;
    meteor.startMillis = nearest(a + b * startS);
    meteor.endMillis = nearest(a + b * endS);
    if (meteor.endMillis <= meteor.startMillis) return std::nullopt;
    meteor.frames = static_cast<int32_t>(std::count_if(frames.begin(), frames.end(), [&meteor](int64_t f) {
        return f >= meteor.startMillis && f <= meteor.endMillis;
    }));
    // A meteor is in every image while it flies (but where it crossed
    // something brighter); a plane's blinks, joined, are images apart.
    const double images = static_cast<double>(meteor.endMillis - meteor.startMillis) / period + 1;
    if (meteor.frames < 3 || meteor.frames < 0.5 * images) return std::nullopt;
    const cv::Point2d from = line->origin + startS * line->along, to = line->origin + endS * line->along;
    meteor.from = cv::Point2f(static_cast<float>(from.x), static_cast<float>(from.y));
    meteor.to = cv::Point2f(static_cast<float>(to.x), static_cast<float>(to.y));
    meteor.length = length;
    meteor.speed = 1 / std::abs(b);
    // Its brightest pixels, but for a few a star drifting in made brighter.
    std::nth_element(rises.begin(), rises.begin() + static_cast<std::ptrdiff_t>(rises.size() * 9 / 10),
                     rises.end());
    meteor.peak = rises[rises.size() * 9 / 10];
    return meteor;
}

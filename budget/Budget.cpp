#include "budget/Budget.h"

#include <cxxabi.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <typeinfo>

namespace {

using Clock = std::chrono::steady_clock;

std::string typeName(const TrailListener& listener) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(listener).name(), nullptr, nullptr, &status);
    std::string readable = status == 0 && name != nullptr ? name : typeid(listener).name();
    std::free(name);
    // The class's own name, without its scope.
    const size_t scope = readable.rfind("::");
    return scope == std::string::npos ? readable : readable.substr(scope + 2);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

// Tells the listener what the loop tells it, adding up the time it takes.
class Budget::Timed : public TrailListener {
public:
    explicit Timed(TrailListener& inner) : inner_(inner), name_(typeName(inner)) {}
    const std::string& name() const { return name_; }
    Clock::duration framed_{}, ticked_{}, other_{};

    void started() override {
        time(other_, [this] { inner_.started(); });
    }
    void framed(const Frame& frame) override {
        time(framed_, [&] { inner_.framed(frame); });
    }
    void keptOut(const KeptOut& kept) override {
        time(other_, [&] { inner_.keptOut(kept); });
    }
    void flashRunEnded(const FlashRun& run) override {
        time(other_, [&] { inner_.flashRunEnded(run); });
    }
    void ticked(const Tick& tick) override {
        time(ticked_, [&] { inner_.ticked(tick); });
    }
    void exposing(const Exposure& exposure) override {
        time(other_, [&] { inner_.exposing(exposure); });
    }
    void snapshotDue(const SnapshotDue& due) override {
        time(other_, [&] { inner_.snapshotDue(due); });
    }
    void modeChanged(const ModeChange& change) override {
        time(other_, [&] { inner_.modeChanged(change); });
    }
    void converting(int type) override {
        time(other_, [&] { inner_.converting(type); });
    }
    void dusk(int64_t millis) override {
        time(other_, [&] { inner_.dusk(millis); });
    }
    void dawn(int64_t millis) override {
        time(other_, [&] { inner_.dawn(millis); });
    }
    void cameraEmpty() override {
        time(other_, [this] { inner_.cameraEmpty(); });
    }
    void reconnecting(int64_t every) override {
        time(other_, [&] { inner_.reconnecting(every); });
    }
    void waitingForCamera() override {
        time(other_, [this] { inner_.waitingForCamera(); });
    }
    void cameraBack() override {
        time(other_, [this] { inner_.cameraBack(); });
    }
    void stopping() override {
        time(other_, [this] { inner_.stopping(); });
    }
    void ended() override {
        time(other_, [this] { inner_.ended(); });
    }

private:
    template <typename Call>
    void time(Clock::duration& total, Call call) {
        const auto start = Clock::now();
        call();
        total += Clock::now() - start;
    }
    TrailListener& inner_;
    std::string name_;
};

// Told before the others: the run's images, ticks and length, and the
// threads' times as it ends (before the others finish their work).
class Budget::Counter : public TrailListener {
public:
    void started() override { start_ = Clock::now(), before_ = threadSeconds(); }
    void framed(const Frame&) override { ++images_; }
    void ticked(const Tick&) override { ++ticks_; }
    void ended() override {
        wall_ = seconds(Clock::now() - start_);
        after_ = threadSeconds();
    }
    int64_t images_ = 0, ticks_ = 0;
    double wall_ = 0;
    Clock::time_point start_{};
    std::map<std::string, double> before_, after_;
};

Budget::Budget(FILE* err) : err_(err), counter_(std::make_unique<Counter>()) {}

Budget::~Budget() = default;

std::vector<TrailListener*> Budget::timed(const std::vector<TrailListener*>& listeners) {
    std::vector<TrailListener*> wrapped{counter_.get()};
    for (TrailListener* listener : listeners) {
        timed_.push_back(std::make_unique<Timed>(*listener));
        wrapped.push_back(timed_.back().get());
    }
    return wrapped;
}

void Budget::print() const {
    const Counter& c = *counter_;
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(3);
    out << "budget: " << c.images_ << " images and " << c.ticks_ << " ticks in " << c.wall_ << " s\n";
    out.precision(1);
    out << "budget: on the loop's thread: per image, per tick (µs), other events (ms)\n";
    const auto per = [](Clock::duration total, int64_t count) {
        return count > 0 ? seconds(total) * 1e6 / static_cast<double>(count) : 0.0;
    };
    for (const auto& timed : timed_)
        out << "budget:   " << timed->name() << " " << per(timed->framed_, c.images_) << " "
            << per(timed->ticked_, c.ticks_) << " " << seconds(timed->other_) * 1e3 << "\n";
    out.precision(3);
    out << "budget: threads: share of a core\n";
    for (const auto& [name, after] : c.after_) {
        const auto before = c.before_.find(name);
        const double used = after - (before == c.before_.end() ? 0 : before->second);
        if (c.wall_ > 0) out << "budget:   " << name << " " << used / c.wall_ << "\n";
    }
    std::fputs(out.str().c_str(), err_);
    std::fflush(err_);
}

std::map<std::string, double> Budget::threadSeconds() {
    std::map<std::string, double> seconds;
    const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return seconds;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        const std::string folder = std::string("/proc/self/task/") + task->d_name;
        // Files of /proc tell no size: read as streams.
        std::string name, stat;
        std::ifstream commFile(folder + "/comm"), statFile(folder + "/stat");
        if (!std::getline(commFile, name) || !std::getline(statFile, stat) ||
            stat.rfind(')') == std::string::npos)
            continue;
        // After the name in parentheses: state, then fields 4 to 13, then utime and stime.
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        std::string field;
        for (int i = 3; i <= 13 && fields >> field; ++i) {
        }
        long long user = 0, system = 0;
        fields >> user >> system;
        seconds[name] += static_cast<double>(user + system) / ticksPerSecond;
    }
    closedir(tasks);
    return seconds;
}

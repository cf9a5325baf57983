#include "views/StatusPrinter.h"

#include "core/EightBits.h"

#include <cstdarg>

void StatusPrinter::line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(out_, format, arguments);
    va_end(arguments);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void StatusPrinter::started() { line("captured"); }

void StatusPrinter::ticked(const Tick& tick) { line("%s", statusLine(tick.status).c_str()); }

// The number before the snapshot's own, as it has always been printed.
void StatusPrinter::snapshotDue(const SnapshotDue& due) {
    line("img %d", due.number == 0 ? kLastSnapshotNumber : due.number - 1);
}

void StatusPrinter::modeChanged(const ModeChange& c) {
    if (c.fromSize != c.toSize)
        line("camera image changed size from %dx%d to %dx%d, starting a new trail", c.fromSize.width,
             c.fromSize.height, c.toSize.width, c.toSize.height);
    else
        line("camera image changed from %s to %s, starting a new trail",
             describeImageType(c.fromType).c_str(), describeImageType(c.toType).c_str());
}

void StatusPrinter::converting(int type) {
    std::fprintf(err_, "camera images have %s: converting them to 8 bits\n", describeImageType(type).c_str());
    std::fflush(err_);
}

void StatusPrinter::cameraEmpty() { line("empty"); }

void StatusPrinter::reconnecting(int64_t everyMs) {
    line("camera delivered no image, trying to reopen it every %g s", static_cast<double>(everyMs) / 1000);
}

void StatusPrinter::cameraBack() { line("camera is back"); }

void StatusPrinter::stopping() { line("stopapp"); }

void StatusPrinter::ended() { line("closing app"); }

#include "snapshots/SnapshotMetadata.h"

#include "core/Json.h"

// exiv2 0.27's headers still use std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

std::string SnapshotMetadata::sidecar(const SnapshotDue& due) const {
    std::string members;
    for (const auto& more : members_)
        if (const std::string added = more(due); !added.empty())
            members += (members.empty() ? "" : ",") + added;
    return sidecarJson(due, source_, version_, members);
}

std::string SnapshotMetadata::describe(const SnapshotDue& due) const {
    const TrailSpan& span = due.span;
    std::string text = "trailcam snapshot " + std::to_string(due.number) + ": " +
                       std::to_string(span.images) + " images from " + utcTimeMillis(span.startMillis) +
                       " to " + utcTimeMillis(span.endMillis) + ", made at " + reasonName(due.reason);
    if (span.armed)
        text += ", armed at " + utcTimeMillis(span.armedMillis) + " (diff " + std::to_string(span.armedDiff) +
                ")";
    return text + "; source " + source_;
}

Result<> SnapshotMetadata::tag(std::vector<uchar>& jpeg, const SnapshotDue& due) const {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    try {
        auto image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        // "2026-12-07T22:13:20.100Z" as EXIF has it: "2026:12:07 22:13:20", "100", "+00:00".
        std::string start = utcTimeMillis(due.span.startMillis);
        start[4] = start[7] = ':';
        start[10] = ' ';
        exif["Exif.Photo.DateTimeOriginal"] = start.substr(0, 19);
        exif["Exif.Photo.SubSecTimeOriginal"] = start.substr(20, 3);
        exif["Exif.Photo.OffsetTimeOriginal"] = "+00:00";
        exif["Exif.Image.ImageDescription"] = describe(due);
        exif["Exif.Image.Software"] = "trailcam " + version_;
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const Exiv2::DataBuf tagged = io.read(static_cast<long>(io.size()));
        jpeg.assign(tagged.pData_, tagged.pData_ + tagged.size_);
        return {};
    } catch (const Exiv2::AnyError& error) {
        return Failure{error.what()};
    }
}

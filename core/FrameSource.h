#pragma once

#include "core/Camera.h"
#include "core/Frame.h"

#include <vector>

// Where the loop's images come from: start-up, then one image per call,
// stamped with the time it was taken.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Configures the camera and reads the first images; false when the
    // camera is not open.
    virtual bool start() = 0;
    // The next image; an empty image when none came.
    virtual Frame next() = 0;
    // While kept is not null, every image read, start-up's included, is
    // added to it (a replay merges every image it has).
    virtual void keepImagesIn(std::vector<Frame>* kept) = 0;
    // The device behind the images, to let go of and open again.
    virtual Camera& camera() = 0;
};

#pragma once

#include <opencv2/core.hpp>

// Where images that come at every frame take their memory: a block an image
// let go of (once the loop and every listener are done with it) is kept and
// handed to the next image of its size, so that a 4K camera's 24 MB an image
// are not faulted in and zeroed afresh each time. A few blocks are kept;
// more go back to the system. For cv::Mat::allocator; it lives as long as
// the process, since images may outlive whoever made them.
cv::MatAllocator* recycledImages();

// An empty image whose memory, once it is made, comes from there.
inline cv::Mat recycledImage() {
    cv::Mat image;
    image.allocator = recycledImages();
    return image;
}

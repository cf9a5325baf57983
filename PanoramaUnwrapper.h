#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

// Turns the ring image of a 360-degree lens attachment into a rectangular
// panorama. The geometry is set once, generateTransformation() precomputes
// which input byte feeds each panorama byte, and unwrap() is then a pure copy
// pass through that table.
class PanoramaUnwrapper {
public:
    PanoramaUnwrapper();
    ~PanoramaUnwrapper();
    PanoramaUnwrapper(const PanoramaUnwrapper&) = delete;
    PanoramaUnwrapper& operator=(const PanoramaUnwrapper&) = delete;

    bool generateTransformation();
    // Whether an input of this size holds a ring of this outer radius (in
    // input widths), as generateTransformation() requires.
    static bool ringFits(int width, int height, float radiusMax);
    // On success *imageOut receives a new image owned by the caller.
    bool unwrap(cv::Mat* imageIn, cv::Mat** imageOut);
    uint32_t getUnwrapHeight();
    bool unwrapWidth(int width);
    bool originalSize(int width, int height);
    bool originalCentre(float u, float v);
    bool imageRadius(float min, float max);
    bool offsetAngle(float angle);

private:
    uint64_t* m_transformation;
    uint32_t m_originalWidth;
    uint32_t m_originalHeight;
    uint32_t m_unwrapWidth;
    float m_uCentre;
    float m_vCentre;
    float m_radiusMin;
    float m_radiusMax;
    float m_offsetAngle;
    uint32_t m_unwrapHeight;
    uint64_t m_outMatSize;
    // The sizes the table was built for: the setters may change the
    // configuration afterwards, but the table only fits these.
    uint32_t m_tableOriginalWidth = 0;
    uint32_t m_tableOriginalHeight = 0;
    uint32_t m_tableUnwrapWidth = 0;
    uint32_t m_tableUnwrapHeight = 0;
    // Panorama pixels that sample the input's last pixel, whose four-byte
    // word would run past the input; copied bytewise. Sorted.
    std::vector<uint64_t> m_lastPixelUses;
};

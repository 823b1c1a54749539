// Summary figures of a captured frame: how much of it is drawn and in which colours. The tool
// prints them, and tests use them to tell a real scene from a black, blank or wrong picture.
#pragma once

#include <array>

#include "tools/capture/png_writer.h"

namespace ombrel::capture {

struct ImageStats {
    double coverage = 0; // fraction of pixels brighter than near-black
    double meanRed = 0;  // over covered pixels, 0..255
    double meanGreen = 0;
    double meanBlue = 0;
    double lumaDeviation = 0;           // standard deviation of luma over covered pixels
    double saturatedFraction = 0;       // covered pixels whose channels differ by more than 48
    std::array<double, 64> histogram{}; // 4x4x4 colour bins over all pixels, summing to 1
};

// A pixel counts as covered when any channel exceeds this value.
constexpr int coveredThreshold = 8;

ImageStats measure(const Image& image);

// Half the L1 distance of two colour histograms: 0 for the same colour mix, 1 for disjoint ones.
double histogramDistance(const ImageStats& a, const ImageStats& b);

} // namespace ombrel::capture

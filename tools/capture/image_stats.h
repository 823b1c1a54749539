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

// A pixel rectangle: columns x .. x + width - 1, rows y .. y + height - 1 (row 0 at the bottom).
struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

// The left and right halves of an image: a stereo frame's two eyes.
Rect leftHalf(const Image& image);
Rect rightHalf(const Image& image);
// The middle `fraction` of an area's columns: an eye's picture without the dark rim the lens
// warp leaves at the same place in every frame, which would pin a shift to zero.
Rect middleColumns(const Rect& area, double fraction = 0.6);

// The smallest fraction of near-black pixels over the four corner squares of area, each with a
// side of `fraction` of the area's smaller side: near 1 when lens-distorted output leaves every
// corner dark.
double cornerBlackness(const Image& image, Rect area, double fraction = 0.06);

// How far content moved sideways from area a of image `from` to area b of image `to`: the shift
// s in [-maxShift, maxShift] for which column c of a best matches column c + s of b, by the
// normalised cross-correlation of the columns' mean luma over the middle third of the rows (the
// band a lens distorts least). Positive: the content moved right. correlation is the match at that
// shift, -1..1 (0 when either band is flat).
struct HorizontalShift {
    int pixels = 0;
    double correlation = 0;
};
HorizontalShift horizontalShift(const Image& from, Rect a, const Image& to, Rect b, int maxShift);

// Half the L1 distance of two colour histograms: 0 for the same colour mix, 1 for disjoint ones.
double histogramDistance(const ImageStats& a, const ImageStats& b);

} // namespace ombrel::capture

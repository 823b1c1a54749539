// Coverage, colour means and a coarse colour histogram of an RGBA8 image.
#include "tools/capture/image_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace ombrel::capture {

ImageStats measure(const Image& image) {
    ImageStats s;
    const size_t total = size_t(image.width) * image.height;
    if (total == 0 || image.rgba.size() < total * 4)
        return s;
    const auto lumaOf = [](const uint8_t* p) { return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]; };
    const auto isCovered = [](const uint8_t* p) {
        return std::max({p[0], p[1], p[2]}) > coveredThreshold;
    };
    size_t covered = 0, saturated = 0;
    double sumR = 0, sumG = 0, sumB = 0, sumLuma = 0;
    for (size_t i = 0; i < total; ++i) {
        const uint8_t* p = &image.rgba[i * 4];
        const int r = p[0], g = p[1], b = p[2];
        s.histogram[(r >> 6) * 16 + (g >> 6) * 4 + (b >> 6)] += 1;
        if (!isCovered(p))
            continue;
        ++covered;
        sumR += r;
        sumG += g;
        sumB += b;
        sumLuma += lumaOf(p);
        if (std::max({r, g, b}) - std::min({r, g, b}) > 48)
            ++saturated;
    }
    for (double& bin : s.histogram)
        bin /= double(total);
    s.coverage = double(covered) / double(total);
    if (covered > 0) {
        const double n = double(covered);
        s.meanRed = sumR / n;
        s.meanGreen = sumG / n;
        s.meanBlue = sumB / n;
        // Squares of differences from the mean, in a second pass: the mean of squares minus the
        // squared mean cancels badly and gives a flat picture a small non-zero deviation.
        const double mean = sumLuma / n;
        double sumSquares = 0;
        for (size_t i = 0; i < total; ++i) {
            const uint8_t* p = &image.rgba[i * 4];
            if (isCovered(p))
                sumSquares += (lumaOf(p) - mean) * (lumaOf(p) - mean);
        }
        s.lumaDeviation = std::sqrt(sumSquares / n);
        s.saturatedFraction = double(saturated) / n;
    }
    return s;
}

double histogramDistance(const ImageStats& a, const ImageStats& b) {
    double d = 0;
    for (size_t i = 0; i < a.histogram.size(); ++i)
        d += std::fabs(a.histogram[i] - b.histogram[i]);
    return d * 0.5;
}

} // namespace ombrel::capture

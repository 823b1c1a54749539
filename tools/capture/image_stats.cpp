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
    size_t covered = 0, saturated = 0;
    double sumR = 0, sumG = 0, sumB = 0, sumLuma = 0, sumLuma2 = 0;
    for (size_t i = 0; i < total; ++i) {
        const uint8_t* p = &image.rgba[i * 4];
        const int r = p[0], g = p[1], b = p[2];
        s.histogram[(r >> 6) * 16 + (g >> 6) * 4 + (b >> 6)] += 1;
        if (std::max({r, g, b}) <= coveredThreshold)
            continue;
        ++covered;
        sumR += r;
        sumG += g;
        sumB += b;
        const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
        sumLuma += luma;
        sumLuma2 += luma * luma;
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
        const double mean = sumLuma / n;
        s.lumaDeviation = std::sqrt(std::max(0.0, sumLuma2 / n - mean * mean));
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

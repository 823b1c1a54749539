// Coverage, colour means and a coarse colour histogram of an RGBA8 image.
#include "tools/capture/image_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

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

Rect leftHalf(const Image& image) {
    return {0, 0, image.width / 2, image.height};
}

Rect rightHalf(const Image& image) {
    return {image.width / 2, 0, image.width / 2, image.height};
}

Rect middleColumns(const Rect& area, double fraction) {
    const int width = int(area.width * std::clamp(fraction, 0.0, 1.0));
    return {area.x + (area.width - width) / 2, area.y, width, area.height};
}

namespace {

bool inside(const Image& image, const Rect& r) {
    return r.width > 0 && r.height > 0 && r.x >= 0 && r.y >= 0 && r.x + r.width <= image.width &&
           r.y + r.height <= image.height &&
           image.rgba.size() >= size_t(image.width) * image.height * 4;
}

double luma(const Image& image, int x, int y) {
    const uint8_t* p = image.pixel(x, y);
    return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

} // namespace

double cornerBlackness(const Image& image, Rect area, double fraction) {
    if (!inside(image, area))
        return 0;
    const int side = std::max(1, int(std::min(area.width, area.height) * fraction));
    double least = 1;
    for (int corner = 0; corner < 4; ++corner) {
        const int x0 = corner & 1 ? area.x + area.width - side : area.x;
        const int y0 = corner & 2 ? area.y + area.height - side : area.y;
        int black = 0;
        for (int y = y0; y < y0 + side; ++y)
            for (int x = x0; x < x0 + side; ++x) {
                const uint8_t* p = image.pixel(x, y);
                black += std::max({p[0], p[1], p[2]}) <= coveredThreshold;
            }
        least = std::min(least, double(black) / double(side * side));
    }
    return least;
}

namespace {

// Mean luma of each column over the middle third of the rows.
std::vector<double> bandProfile(const Image& image, const Rect& r) {
    std::vector<double> profile(size_t(r.width), 0.0);
    const int y0 = r.height / 3, rows = std::max(1, r.height / 3);
    for (int y = y0; y < y0 + rows; ++y)
        for (int x = 0; x < r.width; ++x)
            profile[size_t(x)] += luma(image, r.x + x, r.y + y) / rows;
    return profile;
}

} // namespace

HorizontalShift horizontalShift(const Image& from, Rect a, const Image& to, Rect b, int maxShift) {
    HorizontalShift best;
    if (!inside(from, a) || !inside(to, b) || a.width != b.width || a.height != b.height)
        return best;
    maxShift = std::clamp(maxShift, 0, a.width / 2);
    // Column means: a point cloud's scattered samples differ from frame to frame pixel by pixel,
    // while the columns' brightness follows the scene.
    const std::vector<double> u = bandProfile(from, a), v = bandProfile(to, b);
    // Nearer shifts first, so that a tie (a flat band) goes to the smallest one.
    for (int k = 0; k <= 2 * maxShift; ++k) {
        const int s = k % 2 ? (k + 1) / 2 : -(k / 2);
        const int x0 = std::max(0, -s), x1 = std::min(a.width, a.width - s);
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        const double n = double(x1 - x0);
        for (int x = x0; x < x1; ++x) {
            const double p = u[size_t(x)], q = v[size_t(x) + size_t(s)];
            sa += p;
            sb += q;
            saa += p * p;
            sbb += q * q;
            sab += p * q;
        }
        const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
        const double r = va > 1e-9 && vb > 1e-9 ? (sab - sa * sb / n) / std::sqrt(va * vb) : 0;
        if (k == 0 || r > best.correlation + 1e-12) {
            best.correlation = r;
            best.pixels = s;
        }
    }
    return best;
}

double histogramDistance(const ImageStats& a, const ImageStats& b) {
    double d = 0;
    for (size_t i = 0; i < a.histogram.size(); ++i)
        d += std::fabs(a.histogram[i] - b.histogram[i]);
    return d * 0.5;
}

} // namespace ombrel::capture

#include "picture/prepare.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "numeric/numeric.h"

namespace bitlay::picture {
namespace {

// Pixels are compared by their colour alone, as opaque ones.
constexpr QRgb kOpaque = 0xFF000000;

// Within this distance a colour is a shade of another: close enough to be taken for it at a
// glance, far enough apart that two inks of a logo are not.
constexpr int kShadeDistance = 64;
// A colour stands on its own, in the suited count of flat colours, when this share of the
// picture's pixels is closer to it than to the colours chosen before it.
constexpr int kOwnShareDivisor = 100;
constexpr int kOwnDistance = 32;

int squaredDistance(QRgb a, QRgb b) noexcept {
    const int red = qRed(a) - qRed(b);
    const int green = qGreen(a) - qGreen(b);
    const int blue = qBlue(a) - qBlue(b);
    return red * red + green * green + blue * blue;
}

// The surface's pixels as opaque colours, in one list.
std::vector<QRgb> pixelsOf(const QImage& surface) {
    const QImage rgb =
        surface.format() == QImage::Format_RGB32 || surface.format() == QImage::Format_ARGB32
            ? surface
            : surface.convertToFormat(QImage::Format_RGB32);
    std::vector<QRgb> pixels;
    pixels.reserve(static_cast<std::size_t>(rgb.width()) * rgb.height());
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) pixels.push_back(row[x] | kOpaque);
    }
    return pixels;
}

// The surface's pixels as opaque colours, sorted.
std::vector<QRgb> sortedPixels(const QImage& surface) {
    std::vector<QRgb> pixels = pixelsOf(surface);
    std::sort(pixels.begin(), pixels.end());
    return pixels;
}

// A copy to write into, as 32-bit pixels.
QImage writableCopy(const QImage& surface) {
    QImage copy = surface.convertToFormat(QImage::Format_RGB32);
    copy.detach();
    return copy;
}

// The index of the nearest colour of the palette; the earlier one on a tie.
std::size_t nearest(QRgb colour, const std::vector<QRgb>& palette) noexcept {
    std::size_t best = 0;
    int bestDistance = squaredDistance(colour, palette[0]);
    for (std::size_t i = 1; i < palette.size(); ++i) {
        const int distance = squaredDistance(colour, palette[i]);
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// The first `number` colours of the greedy choice: the most frequent colour, then each time the
// colour with the most pixels times the square of its distance from the colours chosen so far.
std::vector<QRgb> spreadChoice(const std::vector<ColourCount>& counts, int number) {
    std::vector<QRgb> chosen;
    if (counts.empty() || number <= 0) return chosen;
    chosen.push_back(counts.front().rgb);
    std::vector<int> distance(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i)
        distance[i] = squaredDistance(counts[i].rgb, chosen.front());
    while (static_cast<int>(chosen.size()) < number) {
        std::int64_t bestScore = 0;
        std::size_t best = 0;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            const std::int64_t score = counts[i].count * distance[i];
            if (score > bestScore) {
                bestScore = score;
                best = i;
            }
        }
        if (bestScore == 0) break;  // every colour is chosen
        chosen.push_back(counts[best].rgb);
        for (std::size_t i = 0; i < counts.size(); ++i)
            distance[i] = std::min(distance[i], squaredDistance(counts[i].rgb, counts[best].rgb));
    }
    return chosen;
}

}  // namespace

int otsuLevel(const QImage& surface) {
    std::array<std::int64_t, 256> histogram{};
    for (const QRgb pixel : pixelsOf(surface)) ++histogram[lightness(pixel)];
    std::int64_t total = 0;
    double sum = 0;
    for (int value = 0; value < 256; ++value) {
        total += histogram[value];
        sum += double(value) * histogram[value];
    }
    // Dark is [0, level], light the rest; the between-class variance times total², compared
    // in doubles that hold these sums exactly for any surface that fits in memory.
    std::int64_t darkCount = 0;
    double darkSum = 0;
    double bestVariance = -1;
    int firstBest = 128;
    int lastBest = 128;
    for (int level = 0; level <= kHighestLevel; ++level) {
        darkCount += histogram[level];
        darkSum += double(level) * histogram[level];
        const std::int64_t lightCount = total - darkCount;
        const double spread = darkSum * lightCount - (sum - darkSum) * darkCount;
        const double variance = darkCount == 0 || lightCount == 0
                                    ? 0
                                    : spread * spread / (double(darkCount) * lightCount);
        if (level < kLowestLevel) continue;
        if (variance > bestVariance) {
            bestVariance = variance;
            firstBest = lastBest = level;
        } else if (variance == bestVariance && lastBest == level - 1) {
            lastBest = level;
        }
    }
    if (bestVariance <= 0) return 128;  // one shade: nothing to split
    return (firstBest + lastBest) / 2;
}

QImage blackAndWhite(const QImage& surface, int level, QRgb background) {
    QImage result = writableCopy(surface);
    background |= kOpaque;
    for (int y = 0; y < result.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < result.width(); ++x) {
            const bool dark = lightness(row[x]) <= level && (row[x] | kOpaque) != background;
            row[x] = dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
        }
    }
    return result;
}

std::vector<ColourCount> colourCounts(const QImage& surface) {
    const std::vector<QRgb> pixels = sortedPixels(surface);
    std::vector<ColourCount> counts;
    for (std::size_t i = 0; i < pixels.size();) {
        std::size_t end = i;
        while (end < pixels.size() && pixels[end] == pixels[i]) ++end;
        counts.push_back({pixels[i], static_cast<std::int64_t>(end - i)});
        i = end;
    }
    std::stable_sort(counts.begin(), counts.end(),
                     [](const ColourCount& a, const ColourCount& b) { return a.count > b.count; });
    return counts;
}

std::vector<QRgb> flatPalette(const std::vector<ColourCount>& counts, int number) {
    std::vector<QRgb> palette = spreadChoice(counts, number);
    if (palette.empty()) return palette;
    // Each chosen colour gives way to the most frequent colour among those nearest to it, until
    // none moves: a choice that fell on an edge's shade goes to the ink the shade belongs to.
    // The counts come most frequent first, so the first colour met in a group is its mode.
    std::vector<std::int64_t> mass(palette.size());
    for (int round = 0; round < 16; ++round) {
        std::vector<QRgb> modes(palette.size());
        std::vector<bool> met(palette.size(), false);
        std::fill(mass.begin(), mass.end(), 0);
        for (const ColourCount& colour : counts) {
            const std::size_t group = nearest(colour.rgb, palette);
            if (!met[group]) modes[group] = colour.rgb;
            met[group] = true;
            mass[group] += colour.count;
        }
        if (modes == palette) break;
        palette = modes;
    }
    std::vector<std::size_t> order(palette.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&mass](std::size_t a, std::size_t b) { return mass[a] > mass[b]; });
    std::vector<QRgb> sorted;
    for (const std::size_t i : order) sorted.push_back(palette[i]);
    return sorted;
}

int suitedColourCount(const std::vector<ColourCount>& counts) {
    std::int64_t total = 0;
    for (const ColourCount& colour : counts) total += colour.count;
    const std::vector<QRgb> choice = spreadChoice(counts, kMostFlatColours);
    std::vector<bool> taken(counts.size(), false);
    int standing = 0;
    for (const QRgb chosen : choice) {
        std::int64_t own = 0;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (taken[i] || squaredDistance(counts[i].rgb, chosen) > kOwnDistance * kOwnDistance)
                continue;
            taken[i] = true;
            own += counts[i].count;
        }
        if (own * kOwnShareDivisor >= total) ++standing;
    }
    return std::clamp(standing, kFewestFlatColours, kMostFlatColours);
}

QImage flattened(const QImage& surface, const std::vector<QRgb>& palette) {
    QImage result = writableCopy(surface);
    if (palette.empty()) return result;
    std::unordered_map<QRgb, QRgb> flat;
    for (int y = 0; y < result.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < result.width(); ++x) {
            const QRgb colour = row[x] | kOpaque;
            auto [entry, added] = flat.try_emplace(colour, 0);
            if (added) entry->second = palette[nearest(colour, palette)] | kOpaque;
            row[x] = entry->second;
        }
    }
    return result;
}

QImage mirrored(const QImage& surface) {
    QImage result = writableCopy(surface);
    const QImage source = result.copy();
    const int width = result.width();
    const int centre = static_cast<int>(numeric::roundHalfEven(width / 2.0));
    for (int y = 0; y < result.height(); ++y) {
        const auto* from = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        auto* row = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int mirror = 2 * centre - x;
            if (mirror >= 0 && mirror < width) row[x] = from[mirror];
        }
    }
    return result;
}

QImage fitted(const QImage& picture, QSize box) {
    if (picture.isNull() || box.isEmpty()) return picture;
    return picture.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

int colourCount(const QImage& surface) {
    std::vector<QRgb> pixels = sortedPixels(surface);
    return static_cast<int>(std::unique(pixels.begin(), pixels.end()) - pixels.begin());
}

ShadeCount shadesNear(const QImage& surface, QRgb colour) {
    ShadeCount shades;
    colour |= kOpaque;
    for (int y = 0; y < surface.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(surface.constScanLine(y));
        for (int x = 0; x < surface.width(); ++x) {
            const QRgb pixel = row[x] | kOpaque;
            if (pixel == colour)
                ++shades.exact;
            else if (squaredDistance(pixel, colour) <= kShadeDistance * kShadeDistance)
                ++shades.close;
        }
    }
    return shades;
}

bool isFlat(const QImage& surface) {
    std::array<QRgb, kMostFlatColours> seen{};
    int count = 0;
    for (int y = 0; y < surface.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(surface.constScanLine(y));
        for (int x = 0; x < surface.width(); ++x) {
            const QRgb pixel = row[x] | kOpaque;
            if (std::find(seen.begin(), seen.begin() + count, pixel) != seen.begin() + count)
                continue;
            if (count == kMostFlatColours) return false;
            seen[count++] = pixel;
        }
    }
    return true;
}

bool suggestsFlatColours(const ShadeCount& shades) {
    return shades.close >= 16 && shades.close * 10 >= shades.exact;
}

void showPrepared(PictureBox& box, const QImage& prepared) {
    box.setPicture(prepared);
    setWorkingScale(box);
}

}  // namespace bitlay::picture

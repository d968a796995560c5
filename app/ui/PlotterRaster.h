#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corvantis {

// The traffic graph as pixels, with no toolkit: the smoothing of the sample series, the scale and the columns.
// Pure functions over their arguments; safe to call from any thread.

// The first this many smoothed samples only warm the smoothing up: fewer samples draw nothing, and they take no
// part in the scale.
inline constexpr size_t kPlotterWarmUpSamples = 100;

// The series smoothed by a cascade of ten halving averages whose stages all start at the series' first sample.
// A sample of 2 or more whose output would be 0 gives 1, so that any real traffic stays visible. Same length as
// `samples`.
std::vector<uint64_t> SmoothTrafficSeries(std::span<const uint64_t> samples);

// A painted graph. Empty (no pixels, all sizes 0) when there was nothing to draw.
struct TrafficRaster {
    int width = 0; // in pixels
    int height = 0;
    // width * height pixels of 4 bytes (red, green, blue, alpha 255), row 0 at the top.
    std::vector<uint8_t> rgba;
    // The value at the top of the graph: 1.05 times the largest smoothed sample after the warm-up; may be 0.
    uint64_t scaleTop = 0;

    bool empty() const { return rgba.empty(); }
};

// The colours of the two series, red, green, blue.
inline constexpr uint8_t kPlotterSentColor[3] = { 0, 217, 117 };
inline constexpr uint8_t kPlotterReceivedColor[3] = { 20, 117, 255 };

// Paints the graph of `sent` and `received` (bytes per sample, oldest first) into `pixelWidth` by `pixelHeight`
// pixels over a vertical gray gradient starting at `gray` (0 black to 1 white; clamped), one column per sample
// at most. Uses the last min(pixelWidth + 100, shorter series' length) samples of each series, stretched over
// the whole width when there are fewer. Returns an empty raster when a size is 0 or less, or when fewer than
// kPlotterWarmUpSamples samples are available.
TrafficRaster RasterizeTraffic(
    std::span<const uint64_t> sent, std::span<const uint64_t> received, int pixelWidth, int pixelHeight, double gray);

// The heights below the top, in points, of the grid lines of a graph `heightPoints` high: 25, 75, 125, ... while
// they stay inside it.
std::vector<int> PlotterGridLines(int heightPoints);

// The label of the grid line `lineY` points below the top of a graph `heightPoints` high whose scale top is
// `scaleTop`: the rate at that height, such as "787 B/sec" or "1.50 KB/sec". Empty when `heightPoints` is 0 or
// less.
std::string PlotterGridLabel(uint64_t scaleTop, int heightPoints, int lineY);

} // namespace corvantis

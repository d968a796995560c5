#include "app/ui/PlotterRaster.h"

#include "core/foundation/TrafficStringFormater.h"

#include <algorithm>
#include <array>
#include <limits>

namespace corvantis {
namespace {

constexpr int kSmoothingStages = 10;
// How far the background's gray moves from the top row to the bottom one.
constexpr double kGradientRange = 70.0;
constexpr int kFirstGridLine = 25;
constexpr int kGridSpacing = 50;

// floor((a + b) / 2) without overflowing for values near the top of the range.
uint64_t HalfSum(uint64_t a, uint64_t b)
{
    return a / 2 + b / 2 + (a & b & 1);
}

// 1.05 times `value`, whole part: value + value / 20 is exact for whole numbers.
uint64_t WithHeadroom(uint64_t value)
{
    const uint64_t extra = value / 20;
    return value > std::numeric_limits<uint64_t>::max() - extra ? std::numeric_limits<uint64_t>::max() : value + extra;
}

class ColumnPainter {
public:
    ColumnPainter(TrafficRaster& raster, uint64_t scaleTop)
        : m_raster(raster)
        , m_top(scaleTop == 0 ? 1 : scaleTop)
    {
    }

    // The height in pixels of a value: never 0 for a value above 0, never the whole column.
    int HeightOf(uint64_t value) const
    {
        if (value == 0)
            return 0;
        // The product needs up to 95 bits.
        const unsigned __int128 scaled
            = static_cast<unsigned __int128>(value) * static_cast<unsigned>(m_raster.height) / m_top;
        const int limit = m_raster.height - 1;
        if (scaled >= static_cast<unsigned __int128>(limit))
            return std::max(limit, 0);
        return std::max(static_cast<int>(scaled), 1);
    }

    void Paint(int column, int sentHeight, int receivedHeight)
    {
        if (sentHeight == receivedHeight) {
            if (sentHeight == 0)
                return;
            // Equal heights would hide one series behind the other; moving them apart keeps both colours.
            ++sentHeight;
            receivedHeight = std::max(receivedHeight - 1, 1);
        }
        const bool sentLower = sentHeight < receivedHeight;
        const int low = sentLower ? sentHeight : receivedHeight;
        const int high = sentLower ? receivedHeight : sentHeight;
        const uint8_t* lowColor = sentLower ? kPlotterSentColor : kPlotterReceivedColor;
        const uint8_t* highColor = sentLower ? kPlotterReceivedColor : kPlotterSentColor;
        const int rows = m_raster.height;
        for (int y = rows - std::min(high, rows); y < rows; ++y)
            Set(column, y, y >= rows - low ? lowColor : highColor);
    }

private:
    void Set(int x, int y, const uint8_t* color)
    {
        const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(m_raster.width) + static_cast<size_t>(x)) * 4;
        m_raster.rgba[at] = color[0];
        m_raster.rgba[at + 1] = color[1];
        m_raster.rgba[at + 2] = color[2];
        m_raster.rgba[at + 3] = 255;
    }

    TrafficRaster& m_raster;
    const uint64_t m_top;
};

void PaintBackground(TrafficRaster& raster, double gray)
{
    const double base = 255.0 * std::clamp(gray, 0.0, 1.0);
    // A dark background grows lighter downwards, a light one darker.
    const double range = base < 127.0 ? kGradientRange : -kGradientRange;
    for (int y = 0; y < raster.height; ++y) {
        const double level = std::clamp(base + range * y / raster.height, 0.0, 255.0);
        const uint8_t value = static_cast<uint8_t>(level);
        uint8_t* row = raster.rgba.data() + static_cast<size_t>(y) * static_cast<size_t>(raster.width) * 4;
        for (int x = 0; x < raster.width; ++x) {
            row[x * 4] = value;
            row[x * 4 + 1] = value;
            row[x * 4 + 2] = value;
            row[x * 4 + 3] = 255;
        }
    }
}

} // namespace

std::vector<uint64_t> SmoothTrafficSeries(std::span<const uint64_t> samples)
{
    std::vector<uint64_t> smoothed;
    if (samples.empty())
        return smoothed;
    smoothed.reserve(samples.size());
    std::array<uint64_t, kSmoothingStages> stages;
    stages.fill(samples.front());
    for (uint64_t sample : samples) {
        uint64_t value = sample;
        for (uint64_t& stage : stages) {
            stage = HalfSum(stage, value);
            value = stage;
        }
        smoothed.push_back(sample >= 2 && value == 0 ? 1 : value);
    }
    return smoothed;
}

TrafficRaster RasterizeTraffic(
    std::span<const uint64_t> sent, std::span<const uint64_t> received, int pixelWidth, int pixelHeight, double gray)
{
    TrafficRaster raster;
    if (pixelWidth <= 0 || pixelHeight <= 0)
        return raster;
    const size_t count
        = std::min(static_cast<size_t>(pixelWidth) + kPlotterWarmUpSamples, std::min(sent.size(), received.size()));
    if (count < kPlotterWarmUpSamples)
        return raster;

    const std::vector<uint64_t> up = SmoothTrafficSeries(sent.last(count));
    const std::vector<uint64_t> down = SmoothTrafficSeries(received.last(count));
    uint64_t largest = 0;
    for (size_t i = kPlotterWarmUpSamples; i < count; ++i)
        largest = std::max({ largest, up[i], down[i] });

    raster.width = pixelWidth;
    raster.height = pixelHeight;
    raster.scaleTop = WithHeadroom(largest);
    raster.rgba.resize(static_cast<size_t>(pixelWidth) * static_cast<size_t>(pixelHeight) * 4);
    PaintBackground(raster, gray);

    ColumnPainter painter(raster, raster.scaleTop);
    // Samples per column, at most one; with fewer samples than columns each sample spans several columns, filled
    // along a straight line towards the older sample.
    const double step = std::min(static_cast<double>(count - kPlotterWarmUpSamples) / pixelWidth, 1.0);
    size_t current = count; // no sample yet
    double upHeight = 0, downHeight = 0, upSlope = 0, downSlope = 0;
    for (int column = pixelWidth - 1, done = 0; column >= 0; --column, ++done) {
        // Computed from the start each time so that rounding does not add up over wide views.
        const double position = std::max(static_cast<double>(count - 1) - done * step, 0.0);
        const size_t index = std::min(static_cast<size_t>(position), count - 1);
        if (index != current) {
            current = index;
            const size_t previous = index > 0 ? index - 1 : index;
            upHeight = painter.HeightOf(up[index]);
            downHeight = painter.HeightOf(down[index]);
            upSlope = (painter.HeightOf(up[previous]) - upHeight) * step;
            downSlope = (painter.HeightOf(down[previous]) - downHeight) * step;
        } else {
            upHeight += upSlope;
            downHeight += downSlope;
        }
        painter.Paint(column, static_cast<int>(upHeight), static_cast<int>(downHeight));
    }
    return raster;
}

std::vector<int> PlotterGridLines(int heightPoints)
{
    std::vector<int> lines;
    for (int y = kFirstGridLine; y < heightPoints; y += kGridSpacing)
        lines.push_back(y);
    return lines;
}

std::string PlotterGridLabel(uint64_t scaleTop, int heightPoints, int lineY)
{
    if (heightPoints <= 0)
        return {};
    const double perPoint = static_cast<double>(scaleTop) / heightPoints;
    const double rate = std::max(perPoint * (heightPoints - lineY), 0.0);
    const uint64_t whole
        = rate >= 18446744073709551615.0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(rate);
    return CTrafficStringFormater(whole).GetShortText(true) + "/sec";
}

} // namespace corvantis

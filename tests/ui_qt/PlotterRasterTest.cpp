#include "app/ui/PlotterRaster.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {
namespace {

enum class Paint { Background, Sent, Received };

Paint PixelAt(const TrafficRaster& raster, int x, int y)
{
    const uint8_t* p = &raster.rgba[(static_cast<size_t>(y) * raster.width + x) * 4];
    EXPECT_EQ(p[3], 255);
    if (p[0] == kPlotterSentColor[0] && p[1] == kPlotterSentColor[1] && p[2] == kPlotterSentColor[2])
        return Paint::Sent;
    if (p[0] == kPlotterReceivedColor[0] && p[1] == kPlotterReceivedColor[1] && p[2] == kPlotterReceivedColor[2])
        return Paint::Received;
    EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << "background is gray at " << x << "," << y;
    return Paint::Background;
}

// The column from the top as one letter per pixel: '.' background, 'S' sent, 'R' received.
std::string Column(const TrafficRaster& raster, int x)
{
    std::string text;
    for (int y = 0; y < raster.height; ++y) {
        const Paint paint = PixelAt(raster, x, y);
        text += paint == Paint::Sent ? 'S' : paint == Paint::Received ? 'R' : '.';
    }
    return text;
}

std::vector<uint64_t> Constant(size_t count, uint64_t value)
{
    return std::vector<uint64_t>(count, value);
}

TEST(PlotterRasterTest, SmoothingKeepsTrafficVisible)
{
    struct Case {
        const char* name;
        std::vector<uint64_t> samples;
        std::vector<uint64_t> expected;
    };
    const Case cases[] = {
        { "empty", {}, {} },
        { "a constant series stays itself", Constant(6, 4), Constant(6, 4) },
        // The cascade alone would give 0 for the single 3; a real sample never vanishes.
        { "a lone sample of 3 among zeros gives 1", { 0, 0, 3, 0, 0 }, { 0, 0, 1, 0, 0 } },
        { "a lone 1 may vanish", { 0, 1, 0 }, { 0, 0, 0 } },
        // Each stage halves the gap to its input: ten stages leave 1024 / 2^10 of it.
        { "the stages start at the first sample", { 1024, 0 }, { 1024, 1023 } },
        { "no overflow near the top of the range", Constant(3, UINT64_MAX), Constant(3, UINT64_MAX) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SmoothTrafficSeries(c.samples), c.expected);
    }
}

TEST(PlotterRasterTest, DrawsNothingWithoutEnoughSamplesOrPixels)
{
    struct Case {
        const char* name;
        size_t sentCount;
        size_t receivedCount;
        int width;
        int height;
        bool drawn;
    };
    const Case cases[] = {
        { "99 samples", 99, 99, 10, 10, false },
        { "the shorter series decides", 500, 99, 10, 10, false },
        { "no samples", 0, 0, 10, 10, false },
        { "100 samples", 100, 100, 10, 10, true },
        { "width 0", 200, 200, 0, 10, false },
        { "height 0", 200, 200, 10, 0, false },
        { "both 0", 200, 200, 0, 0, false },
        { "negative width", 200, 200, -3, 10, false },
        { "one pixel", 200, 200, 1, 1, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRaster raster
            = RasterizeTraffic(Constant(c.sentCount, 7), Constant(c.receivedCount, 3), c.width, c.height, 0.5);
        EXPECT_EQ(!raster.empty(), c.drawn);
        if (c.drawn) {
            EXPECT_EQ(raster.width, c.width);
            EXPECT_EQ(raster.height, c.height);
            EXPECT_EQ(raster.rgba.size(), static_cast<size_t>(c.width) * c.height * 4);
        } else {
            EXPECT_EQ(raster.width, 0);
            EXPECT_EQ(raster.height, 0);
        }
    }
}

TEST(PlotterRasterTest, ScaleTopComesFromTheSamplesInView)
{
    std::vector<uint64_t> burstThenQuiet(200, 0);
    for (size_t i = 0; i < 50; ++i)
        burstThenQuiet[i] = 1000000;
    std::vector<uint64_t> oldBurst(1000, 0);
    for (size_t i = 0; i < 800; ++i)
        oldBurst[i] = 1000000;
    struct Case {
        const char* name;
        std::vector<uint64_t> sent;
        std::vector<uint64_t> received;
        int width;
        uint64_t top;
    };
    const Case cases[] = {
        { "4 times 1.05, whole part", Constant(200, 4), Constant(200, 0), 50, 4 },
        { "the larger series", Constant(200, 100), Constant(200, 400), 50, 420 },
        // The first 100 outputs only warm the smoothing up.
        { "a burst during the warm-up", burstThenQuiet, Constant(200, 0), 50, 0 },
        // Only the last width + 100 samples are looked at.
        { "a burst before the samples in view", oldBurst, Constant(1000, 0), 10, 0 },
        { "no overflow", Constant(200, UINT64_MAX), Constant(200, 0), 50, UINT64_MAX },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRaster raster = RasterizeTraffic(c.sent, c.received, c.width, 20, 0.0);
        ASSERT_FALSE(raster.empty());
        EXPECT_EQ(raster.scaleTop, c.top);
    }
}

TEST(PlotterRasterTest, BackgroundIsAGradientAwayFromTheWindowGray)
{
    struct Case {
        const char* name;
        double gray;
        int top; // row 0
        int middle; // row 5 of 10
        int bottom; // row 9
    };
    const Case cases[] = {
        { "black grows lighter", 0.0, 0, 35, 63 },
        { "white grows darker", 1.0, 255, 220, 192 },
        { "just below the middle grows lighter", 0.49, 124, 159, 187 },
        { "the middle grows darker", 0.5, 127, 92, 64 },
        { "out of range is clamped", 7.0, 255, 220, 192 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Zeros paint no column, so only the background is left.
        const TrafficRaster raster = RasterizeTraffic(Constant(200, 0), Constant(200, 0), 4, 10, c.gray);
        ASSERT_FALSE(raster.empty());
        for (int x = 0; x < raster.width; ++x) {
            EXPECT_EQ(Column(raster, x), "..........");
            EXPECT_EQ(raster.rgba[(0 * 4 + x) * 4], c.top);
            EXPECT_EQ(raster.rgba[(5 * 4 + x) * 4], c.middle);
            EXPECT_EQ(raster.rgba[(9 * 4 + x) * 4], c.bottom);
        }
    }
}

TEST(PlotterRasterTest, ColumnsShowTheSmallerSeriesBelowTheLarger)
{
    struct Case {
        const char* name;
        uint64_t sent;
        uint64_t received;
        int height;
        std::string column; // from the top
    };
    const Case cases[] = {
        // Top 105: 100 -> 19 rows (capped below the full 20), 50 -> 9 rows.
        { "received smaller", 100, 50, 20, ".SSSSSSSSSSRRRRRRRRR" },
        { "sent smaller", 50, 100, 20, ".RRRRRRRRRRSSSSSSSSS" },
        { "one series idle", 0, 100, 10, ".RRRRRRRRR" },
        // A tiny rate still gets one pixel.
        { "a small value keeps one pixel", 1, 1000, 10, ".RRRRRRRRS" },
        // Equal heights move one pixel apart so that both colours show.
        // Top 52: 50 -> 38 rows each, drawn as 39 and 37.
        { "equal heights", 50, 50, 40, ".SS" + std::string(37, 'R') },
        { "equal heights of one pixel", 5, 5, 2, "SR" },
        { "nothing sent or received", 0, 0, 6, "......" },
        { "a single row cannot show a column", 100, 50, 1, "." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficRaster raster
            = RasterizeTraffic(Constant(150, c.sent), Constant(150, c.received), 8, c.height, 1.0);
        ASSERT_FALSE(raster.empty());
        for (int x = 0; x < raster.width; ++x)
            EXPECT_EQ(Column(raster, x), c.column) << "column " << x;
    }
}

TEST(PlotterRasterTest, FewSamplesAreStretchedOverTheWholeWidth)
{
    // 150 samples over 100 columns: half a sample per column, from sample 149 at the right edge back to sample
    // 100 at the left, with the columns between two samples on a straight line.
    std::vector<uint64_t> ramp(150);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = i * 10;
    const TrafficRaster raster = RasterizeTraffic(ramp, Constant(150, 0), 100, 200, 0.0);
    ASSERT_FALSE(raster.empty());
    std::vector<int> heights;
    for (int x = 0; x < raster.width; ++x) {
        const std::string column = Column(raster, x);
        const size_t first = column.find('S');
        ASSERT_NE(first, std::string::npos) << "column " << x;
        EXPECT_EQ(column.find_first_not_of('S', first), std::string::npos) << "column " << x;
        heights.push_back(static_cast<int>(column.size() - first));
    }
    EXPECT_LT(heights.front() + 40, heights.back());
    for (size_t x = 1; x < heights.size(); ++x) {
        EXPECT_LE(heights[x - 1], heights[x]) << "column " << x;
        EXPECT_LE(heights[x] - heights[x - 1], 2) << "column " << x;
    }
}

TEST(PlotterRasterTest, GridLinesAndLabels)
{
    struct LineCase {
        int height;
        std::vector<int> lines;
    };
    const LineCase lineCases[] = {
        { 100, { 25, 75 } },
        { 25, {} },
        { 26, { 25 } },
        { 176, { 25, 75, 125, 175 } },
        { 0, {} },
    };
    for (const LineCase& c : lineCases) {
        SCOPED_TRACE(c.height);
        EXPECT_EQ(PlotterGridLines(c.height), c.lines);
    }

    struct LabelCase {
        uint64_t top;
        int height;
        int line;
        const char* text;
    };
    const LabelCase labelCases[] = {
        { 1050, 100, 25, "787 B/sec" },
        { 1050, 100, 75, "262 B/sec" },
        { 4096, 100, 25, "3.00 KB/sec" },
        { 0, 100, 25, "0 B/sec" },
        { 1050, 0, 25, "" },
    };
    for (const LabelCase& c : labelCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(PlotterGridLabel(c.top, c.height, c.line), c.text);
    }
}

} // namespace
} // namespace corvantis

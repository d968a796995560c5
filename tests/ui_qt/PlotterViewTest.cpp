#include "app/ui/PlotterView.h"
#include "app/ui/PlotterRaster.h"

#include <QColor>
#include <QImage>
#include <QPalette>
#include <QPixmap>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

// Set in the copy of this program that runs the scaled case; the scale factor must be known before the
// application object exists, so that case cannot run in the process that started the suite.
constexpr const char* kScaledChildVariable = "CORVANTIS_PLOTTER_SCALED_CHILD";

std::vector<uint8_t> RawBytes(const std::vector<uint64_t>& values)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(uint64_t));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// A graph on black with a red grid and white labels, so each part has a colour of its own.
class PlotterViewTest : public testing::Test {
protected:
    PlotterViewTest()
    {
        QPalette palette = m_view.palette();
        palette.setColor(QPalette::Window, Qt::black);
        palette.setColor(QPalette::Mid, Qt::red);
        palette.setColor(QPalette::WindowText, Qt::white);
        m_view.setPalette(palette);
        m_view.resize(200, 100);
    }

    QImage Grab() { return m_view.grab().toImage().convertToFormat(QImage::Format_RGBA8888); }

    // True when no pixel in the rectangle (device pixels) differs from the raster's background gray.
    static bool OnlyBackground(const QImage& image, int x0, int y0, int x1, int y1)
    {
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() != c.green() || c.green() != c.blue() || c.red() > 70)
                    return false;
            }
        }
        return true;
    }

    PlotterView m_view;
};

TEST_F(PlotterViewTest, DrawsNothingBeforeTheFirstSeries)
{
    QPalette palette = m_view.palette();
    palette.setColor(QPalette::Window, QColor(10, 200, 30));
    m_view.setPalette(palette);
    m_view.setAutoFillBackground(true);
    const QImage image = Grab();
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            ASSERT_EQ(image.pixelColor(x, y), QColor(10, 200, 30)) << x << "," << y;
}

TEST_F(PlotterViewTest, GridLinesAndLabelsAt25And75PointsBelowTheTop)
{
    m_view.updateValue(RawBytes(std::vector<uint64_t>(300, 0)), RawBytes(std::vector<uint64_t>(300, 0)));
    const QImage image = Grab();
    ASSERT_EQ(image.size(), QSize(200, 100));
    for (int y : { 25, 75 }) {
        SCOPED_TRACE(y);
        EXPECT_EQ(image.pixelColor(100, y), QColor(Qt::red));
        EXPECT_EQ(image.pixelColor(5, y), QColor(Qt::red));
        EXPECT_EQ(image.pixelColor(194, y), QColor(Qt::red));
        EXPECT_NE(image.pixelColor(3, y), QColor(Qt::red)); // the lines keep off the sides
        EXPECT_NE(image.pixelColor(197, y), QColor(Qt::red));
        // The label sits just above its line, from the left margin.
        EXPECT_FALSE(OnlyBackground(image, 5, y - 15, 80, y)) << "no label above the line";
    }
    EXPECT_NE(image.pixelColor(100, 50), QColor(Qt::red));
    EXPECT_NE(image.pixelColor(100, 99), QColor(Qt::red));
    EXPECT_TRUE(OnlyBackground(image, 0, 27, 200, 55)) << "nothing between the lines but the graph";
    EXPECT_TRUE(OnlyBackground(image, 85, 0, 200, 25)) << "the labels stay short";
}

TEST_F(PlotterViewTest, PaintsTheRasterOfTheTickDataBytes)
{
    std::vector<uint64_t> sent(400, 3000);
    std::vector<uint64_t> received(400, 1000);
    std::vector<uint8_t> sentBytes = RawBytes(sent);
    sentBytes.insert(sentBytes.end(), { 1, 2, 3 }); // a partial value is ignored
    m_view.updateValue(sentBytes, RawBytes(received));
    const QImage image = Grab();
    ASSERT_EQ(image.size(), QSize(200, 100));
    const TrafficRaster expected = RasterizeTraffic(sent, received, 200, 100, 0.0);
    ASSERT_FALSE(expected.empty());
    // Right of the grid lines only the raster shows.
    for (int y = 0; y < 100; ++y) {
        for (int x = 196; x < 200; ++x) {
            const uint8_t* p = &expected.rgba[(static_cast<size_t>(y) * 200 + x) * 4];
            ASSERT_EQ(image.pixel(x, y), qRgb(p[0], p[1], p[2])) << x << "," << y;
        }
    }
    EXPECT_EQ(image.pixelColor(198, 98),
        QColor(kPlotterReceivedColor[0], kPlotterReceivedColor[1], kPlotterReceivedColor[2]));
    EXPECT_EQ(image.pixelColor(198, 50), QColor(kPlotterSentColor[0], kPlotterSentColor[1], kPlotterSentColor[2]));

    // Too few values now: the graph goes away.
    m_view.setAutoFillBackground(true);
    m_view.updateValue(RawBytes(std::vector<uint64_t>(99, 5)), RawBytes(received));
    EXPECT_EQ(Grab().pixelColor(198, 98), QColor(Qt::black));
}

// Runs in the copy of this program started by GrabUsesDevicePixelsWhenScaled only.
TEST_F(PlotterViewTest, ScaledChild)
{
    if (!getenv(kScaledChildVariable))
        GTEST_SKIP() << "runs only in the copy started with a scale factor";
    std::vector<uint64_t> sent(600);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = (i * 37) % 1000;
    const std::vector<uint64_t> received(600, 400);
    m_view.updateValue(RawBytes(sent), RawBytes(received));
    ASSERT_EQ(m_view.devicePixelRatioF(), 2.0);
    const QImage image = Grab();
    ASSERT_EQ(image.size(), QSize(400, 200));
    // Every device pixel comes from a raster of twice the size, not from one of the size in points stretched.
    const TrafficRaster expected = RasterizeTraffic(sent, received, 400, 200, 0.0);
    ASSERT_FALSE(expected.empty());
    for (int y = 0; y < 200; ++y) {
        for (int x = 392; x < 400; ++x) {
            const uint8_t* p = &expected.rgba[(static_cast<size_t>(y) * 400 + x) * 4];
            ASSERT_EQ(image.pixel(x, y), qRgb(p[0], p[1], p[2])) << x << "," << y;
        }
    }
}

TEST(PlotterViewScaledTest, GrabUsesDevicePixelsWhenScaled)
{
    if (getenv(kScaledChildVariable))
        GTEST_SKIP() << "this is the child";
    std::array<char, 4096> self {};
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    ASSERT_GT(length, 0);
    const std::string command = std::string("QT_SCALE_FACTOR=2 ") + kScaledChildVariable + "=1 '"
        + std::string(self.data(), static_cast<size_t>(length)) + "' --gtest_filter=PlotterViewTest.ScaledChild 2>&1";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    std::array<char, 4096> chunk;
    size_t got = 0;
    while ((got = fread(chunk.data(), 1, chunk.size(), child)) > 0)
        output.append(chunk.data(), got);
    const int status = pclose(child);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}

} // namespace
} // namespace corvantis

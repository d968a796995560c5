#include "app/ui/PlotterView.h"

#include "app/ui/PlotterRaster.h"

#include <QImage>
#include <QPainter>
#include <QPen>

#include <cmath>
#include <cstring>

namespace corvantis {
namespace {

// Labels and grid lines keep this far from the sides, in points.
constexpr int kSideMargin = 5;
// Labels sit this far above their line, in points.
constexpr int kLabelLift = 2;

std::vector<uint64_t> ValuesOf(const std::vector<uint8_t>& bytes)
{
    std::vector<uint64_t> values(bytes.size() / sizeof(uint64_t));
    if (!values.empty())
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(uint64_t));
    return values;
}

} // namespace

PlotterView::PlotterView(QWidget* parent)
    : QWidget(parent)
{
}

PlotterView::~PlotterView() = default;

void PlotterView::updateValue(const std::vector<uint8_t>& up, const std::vector<uint8_t>& down)
{
    m_sent = ValuesOf(up);
    m_received = ValuesOf(down);
    m_hasSeries = true;
    update();
}

void PlotterView::paintEvent(QPaintEvent*)
{
    if (!m_hasSeries)
        return;
    const int width = this->width();
    const int height = this->height();
    const double ratio = devicePixelRatioF();
    const int pixelWidth = static_cast<int>(std::lround(width * ratio));
    const int pixelHeight = static_cast<int>(std::lround(height * ratio));
    const double gray = qGray(palette().color(QPalette::Window).rgb()) / 255.0;
    const TrafficRaster raster = RasterizeTraffic(m_sent, m_received, pixelWidth, pixelHeight, gray);
    if (raster.empty())
        return;

    // The image borrows the raster's pixels, which outlive it.
    QImage image(raster.rgba.data(), raster.width, raster.height, raster.width * 4, QImage::Format_RGBA8888);
    image.setDevicePixelRatio(ratio);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QRectF(0, 0, width, height), image);

    QPen gridPen(palette().color(QPalette::Mid));
    gridPen.setWidthF(m_gridWidth);
    const std::vector<int> lines = PlotterGridLines(height);
    painter.setPen(gridPen);
    for (int y : lines)
        painter.drawLine(QPointF(kSideMargin, y), QPointF(width - kSideMargin, y));
    painter.setPen(palette().color(QPalette::WindowText));
    for (int y : lines) {
        const std::string label = PlotterGridLabel(raster.scaleTop, height, y);
        painter.drawText(QPointF(kSideMargin, y - kLabelLift), QString::fromStdString(label));
    }
}

} // namespace corvantis

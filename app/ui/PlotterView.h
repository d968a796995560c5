#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

namespace corvantis {

// The traffic graph of the main window: the rates sent and received over the last moments, one pixel column per
// sample, smoothed and scaled to the largest value in view, over horizontal grid lines labelled with rates.
// The graph is painted as one image in device pixels, so it stays sharp on scaled screens.
//
// GUI thread only; the series are replaced whole by updateValue().
class PlotterView final : public QWidget {
    Q_OBJECT

public:
    explicit PlotterView(QWidget* parent = nullptr);
    PlotterView(const PlotterView&) = delete;
    PlotterView& operator=(const PlotterView&) = delete;
    ~PlotterView() override;

    // Stores the bytes sent (`up`) and received (`down`) per sample as the tick data carries them: the raw bytes
    // of 64-bit values in host order, oldest first (bytes that do not fill a whole value are ignored). Schedules a
    // repaint. Until the first call, and while either series holds fewer than 100 values, nothing is drawn.
    void updateValue(const std::vector<uint8_t>& up, const std::vector<uint8_t>& down);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_hasSeries = false;
    std::vector<uint64_t> m_sent;
    std::vector<uint64_t> m_received;
    double m_gridWidth = 1.0;
};

} // namespace corvantis

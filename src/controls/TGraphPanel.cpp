#include "controls/TGraphPanel.h"

#include <QChildEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace sp {

TGraphPanel::TGraphPanel(QWidget* parent)
    : TPanel(parent)
{
}

void TGraphPanel::AddSample(uint32_t value)
{
    if (FScaleLength == 0)
        return;
    while (FSamples.size() >= FScaleLength)
        FSamples.erase(FSamples.begin());
    FSamples.push_back(value);
    FMaximum = std::max(FMaximum, value);
    Repaint();
}

void TGraphPanel::ClearGraph()
{
    FSamples.clear();
    FMaximum = 1;
}

int64_t TGraphPanel::ValueAt(int x) const
{
    if (width() <= 0)
        return -1;
    // nearbyint rounds halves to the even neighbour in the default mode.
    const double slot = std::nearbyint(static_cast<double>(FScaleLength) / width() * x);
    if (slot < 0 || slot >= static_cast<double>(FSamples.size()))
        return -1;
    return FSamples[static_cast<size_t>(slot)];
}

void TGraphPanel::Repaint()
{
    update();
}

void TGraphPanel::paintEvent(QPaintEvent*)
{
    // The bars are part of every paint, so an uncovered graph does not lose
    // them until the next sample.
    QPainter painter(this);
    PaintPanel(painter);
    PaintBars(painter);
}

void TGraphPanel::childEvent(QChildEvent* event)
{
    TPanel::childEvent(event);
    if (event->removed())
        Repaint();
}

void TGraphPanel::PaintBars(QPainter& painter) const
{
    if (FScaleLength == 0 || FSamples.empty())
        return;
    const int w = width();
    const int h = height();
    const auto barWidth = static_cast<int>(
        std::ceil(static_cast<double>(static_cast<int64_t>(w) * FRectWidth) / 100.0 / FScaleLength));
    if (barWidth <= 0 || h <= 0)
        return;
    const auto middle = static_cast<int>(std::ceil(h / 2.0));
    const double slot = static_cast<double>(w) / FScaleLength;
    const QColor upper = ColorToQColor(FGrapgColor);
    const QColor lower = ColorToQColor(FBottomColor);

    painter.save();
    for (size_t i = 0; i < FSamples.size(); ++i) {
        const uint64_t sample = FSamples[i];
        if (sample == 0)
            continue;
        const auto left = static_cast<int>(std::ceil(slot * static_cast<double>(i)));
        const int right = left + barWidth;
        const auto height = static_cast<int>(
            std::ceil(static_cast<double>(sample * static_cast<uint64_t>(h)) / FMaximum));
        const int top = std::max(2, h - height);
        // Rectangles exclude their right and bottom edges.
        if (sample * 2 <= FMaximum) {
            painter.fillRect(QRect(QPoint(left, top), QPoint(right - 1, h - 1)), lower);
        } else {
            if (top < middle)
                painter.fillRect(QRect(QPoint(left, top), QPoint(right - 1, middle - 1)), upper);
            painter.fillRect(QRect(QPoint(left, std::max(top, middle)), QPoint(right - 1, h - 1)), lower);
        }
    }
    painter.restore();
}

} // namespace sp

#pragma once

#include "controls/TPanel.h"

#include <cstdint>
#include <vector>

namespace sp {

// Bar chart of the recent connection speed: one bar per sample, newest at the
// right, scaled to the largest sample since the last ClearGraph; the part of a
// bar above the middle line is drawn in GrapgColor.
class TGraphPanel : public TPanel
{
    Q_OBJECT
    Q_PROPERTY(uint ScaleLength READ ScaleLength WRITE SetScaleLength)
    Q_PROPERTY(uint RectWidth READ RectWidth WRITE SetRectWidth)
    Q_PROPERTY(uint GrapgColor READ GrapgColor WRITE SetGrapgColor)
    Q_PROPERTY(uint BottomColor READ BottomColor WRITE SetBottomColor)

public:
    explicit TGraphPanel(QWidget* parent = nullptr);

    void AddSample(uint32_t value);
    void ClearGraph();
    // The sample shown at pixel column x, or -1 where there is none.
    [[nodiscard]] int64_t ValueAt(int x) const;
    void Repaint();

    [[nodiscard]] const std::vector<uint32_t>& Samples() const { return FSamples; }
    [[nodiscard]] uint32_t Maximum() const { return FMaximum; }

    // Published values: stored and read directly, no repaint.
    [[nodiscard]] uint32_t ScaleLength() const { return FScaleLength; }
    void SetScaleLength(uint32_t value) { FScaleLength = value; }
    [[nodiscard]] uint32_t RectWidth() const { return FRectWidth; }
    void SetRectWidth(uint32_t value) { FRectWidth = value; }
    [[nodiscard]] TColor GrapgColor() const { return FGrapgColor; }
    void SetGrapgColor(TColor value) { FGrapgColor = value; }
    [[nodiscard]] TColor BottomColor() const { return FBottomColor; }
    void SetBottomColor(TColor value) { FBottomColor = value; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void childEvent(QChildEvent* event) override;

private:
    void PaintBars(QPainter& painter) const;

    std::vector<uint32_t> FSamples;
    uint32_t FMaximum = 1;
    uint32_t FScaleLength = 40;
    uint32_t FRectWidth = 60;
    TColor FGrapgColor = RGBToColor(44, 159, 22);
    TColor FBottomColor = RGBToColor(154, 209, 147);
};

} // namespace sp

#include "controls/TTransPanel.h"

#include <QPainter>

namespace sp {

TTransPanel::TTransPanel(QWidget* parent)
    : TPanel(parent)
{
}

void TTransPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (FImage.isNull()) {
        PaintPanel(painter);
        return;
    }
    painter.save();
    // No background first: what the picture does not cover stays as it was.
    const QPixmap picture = FImage->pixmap();
    if (!picture.isNull())
        painter.drawPixmap(FImageLeft, FImageTop, picture);

    const QColor color = ColorToQColor(FBorderColor);
    const int w = BorderWidth();
    const int right = width();
    const int bottom = height();
    // Each rectangle excludes its right and bottom edge.
    const auto fill = [&](int x1, int y1, int x2, int y2) {
        if (x2 > x1 && y2 > y1)
            painter.fillRect(QRect(x1, y1, x2 - x1, y2 - y1), color);
    };
    if (FBorderLeft)
        fill(0, 0, w, bottom - 1);
    if (FBorderRight)
        fill(right - w - 1, 0, right - 1, bottom);
    if (FBorderTop)
        fill(0, 0, right - 1, w);
    if (FBorderBottom)
        fill(0, bottom - w - 1, right - 1, bottom - 1);
    painter.restore();
}

} // namespace sp

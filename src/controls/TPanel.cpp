#include "controls/TPanel.h"

#include <QPainter>

namespace sp {

TPanel::TPanel(QWidget* parent)
    : QWidget(parent)
{
}

void TPanel::SetColor(TColor color)
{
    FColor = color;
    update();
}

void TPanel::SetCaption(const QString& caption)
{
    FCaption = caption;
    update();
}

void TPanel::SetBorderWidth(int width)
{
    FBorderWidth = width;
    update();
}

void TPanel::SetBevelOuter(TBevel bevel)
{
    FBevelOuter = bevel;
    update();
}

void TPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintPanel(painter);
}

void TPanel::PaintPanel(QPainter& painter)
{
    painter.save();
    const int w = width();
    const int h = height();
    painter.fillRect(0, 0, w, h, ColorToQColor(FColor));
    if (FBevelOuter != TBevel::None && w > 0 && h > 0) {
        const bool raised = FBevelOuter == TBevel::Raised;
        const QColor topLeft = ColorToQColor(raised ? clBtnHighlight : clBtnShadow);
        const QColor bottomRight = ColorToQColor(raised ? clBtnShadow : clBtnHighlight);
        painter.fillRect(0, 0, w, 1, topLeft);
        painter.fillRect(0, 0, 1, h, topLeft);
        painter.fillRect(0, h - 1, w, 1, bottomRight);
        painter.fillRect(w - 1, 0, 1, h, bottomRight);
    }
    if (!FCaption.isEmpty()) {
        painter.setFont(font());
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect(), Qt::AlignCenter, FCaption);
    }
    painter.restore();
}

} // namespace sp

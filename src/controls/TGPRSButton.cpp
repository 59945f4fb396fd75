#include "controls/TGPRSButton.h"

#include <QMouseEvent>
#include <QPainter>

#include <cstdlib>

namespace sp {

TGPRSButton::TGPRSButton(QWidget* parent)
    : TPanel(parent)
{
    SetColor(RGBToColor(244, 244, 240));
    SetBorderWidth(1);
    // Moves without a held button must reach the button, so it can let go.
    setMouseTracking(true);
}

void TGPRSButton::SetEnabled(bool value)
{
    setEnabled(value);
    Paint();
}

void TGPRSButton::SetPressed(bool value)
{
    if (value == FPressed)
        return;
    FPressed = value;
    Paint();
}

void TGPRSButton::Paint()
{
    update();
}

bool TGPRSButton::InInnerArea(int x, int y) const
{
    return x > 1 && y > 1 && x < width() - 2 && y < height() - 2;
}

void TGPRSButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        TPanel::mousePressEvent(event);
        return;
    }
    const QPoint p = event->position().toPoint();
    SetPressed(InInnerArea(p.x(), p.y()));
    FPressX = p.x();
    FPressY = p.y();
    emit OnMouseDown(Qt::LeftButton, Qt::LeftButton, p.x(), p.y());
}

void TGPRSButton::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    Qt::MouseButtons held = Qt::LeftButton;
    if (!(event->buttons() & Qt::LeftButton)) {
        SetPressed(false);
        held = Qt::NoButton;
    }
    const bool stays = FPressed && std::abs(p.x() - FPressX) <= 4 && std::abs(p.y() - FPressY) <= 4
                       && InInnerArea(p.x(), p.y());
    if (!stays)
        SetPressed(false);
    emit OnMouseMove(held, p.x(), p.y());
}

void TGPRSButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        TPanel::mouseReleaseEvent(event);
        return;
    }
    const QPoint p = event->position().toPoint();
    emit OnMouseUp(Qt::LeftButton, Qt::LeftButton, p.x(), p.y());
    if (FPressed)
        emit OnClick(this);
    SetPressed(false);
    Paint();
}

void TGPRSButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click never counts as a press of its own,
    // so a double click fires OnClick once.
    if (event->button() != Qt::LeftButton) {
        TPanel::mouseDoubleClickEvent(event);
        return;
    }
    SetPressed(false);
    const QPoint p = event->position().toPoint();
    emit OnDblClick(this);
    emit OnMouseDown(Qt::LeftButton, Qt::LeftButton, p.x(), p.y());
}

void TGPRSButton::leaveEvent(QEvent* event)
{
    SetPressed(false);
    TPanel::leaveEvent(event);
}

void TGPRSButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintButton(painter);
}

namespace {

// A rounded rectangle as the classic drawing call makes it: the outline lies
// on the pixels from (x1, y1) to (x2 - 1, y2 - 1), the corners are quarters of
// an ellipse of curve x curve.
void RoundRect(QPainter& painter, int x1, int y1, int x2, int y2, int curve)
{
    if (x2 - x1 < 1 || y2 - y1 < 1)
        return;
    const double radius = curve / 2.0;
    painter.drawRoundedRect(QRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1), radius, radius, Qt::AbsoluteSize);
}

} // namespace

void TGPRSButton::PaintButton(QPainter& painter) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    const int w = width();
    const int h = height();

    painter.fillRect(0, 0, w, h, ColorToQColor(FBgColor));

    if (FExtWidth > 0) {
        painter.setPen(QPen(ColorToQColor(FExtColor), 1));
        painter.setBrush(ColorToQColor(FExtColor));
        RoundRect(painter, 1, 1, w - 1, h - 1, FCurve);
    }

    const bool enabled = isEnabled();
    painter.setPen(QPen(ColorToQColor(enabled ? FBorderColor : clInactiveBorder), BorderWidth()));
    const QColor face = ColorToQColor(FPressed ? FDownColor : Color());
    painter.setBrush(FIntWidth > 0 ? ColorToQColor(FIntColor) : face);
    RoundRect(painter, FExtWidth, FExtWidth, w - FExtWidth - 1, h - FExtWidth - 1, FCurve);

    if (FIntWidth > 0) {
        const int c = FIntWidth + FExtWidth + BorderWidth();
        if (w - 2 * c - 2 > 0 && h - 2 * c - 2 > 0)
            painter.fillRect(c, c, w - 2 * c - 2, h - 2 * c - 2, face);
    }

    if (!Caption().isEmpty()) {
        // Only the typeface and the height of the control's font count.
        QFont captionFont(font().family());
        if (font().pixelSize() > 0)
            captionFont.setPixelSize(font().pixelSize());
        else
            captionFont.setPointSizeF(font().pointSizeF());
        const QFontMetrics metrics(captionFont);
        const int textWidth = metrics.horizontalAdvance(Caption());
        const int textHeight = metrics.height();
        const int x = (w - textWidth) / 2 - 1;
        const int y = (h - textHeight) / 2 - 1;
        const QRect box(x, y, textWidth + 1, textHeight + 1);
        painter.setClipRect(box);
        painter.fillRect(box, face);
        painter.setFont(captionFont);
        painter.setPen(ColorToQColor(enabled ? clBtnText : clGrayText));
        painter.drawText(x, y + metrics.ascent(), Caption());
    }
    painter.restore();
}

} // namespace sp

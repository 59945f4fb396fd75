#include "app/TLinkLabel.h"

#include <QMouseEvent>

namespace sp {

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent, bool link) : QLabel(text, parent) {
    if (link) {
        QFont f = font();
        f.setUnderline(true);
        setFont(f);
        setCursor(Qt::PointingHandCursor);
    }
}

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    event->accept();
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool click =
        FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    // The page below also hears the release (the agreement re-checks on it).
    event->ignore();
    if (click)
        emit clicked();
}

void TLinkLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click counts as a press as well.
    FPressed = event->button() == Qt::LeftButton;
    event->accept();
    if (FPressed)
        emit doubleClicked();
}

} // namespace sp

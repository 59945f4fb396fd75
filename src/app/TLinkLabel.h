#pragma once

#include <QLabel>

namespace sp {

// A label that reacts to a click: released with the left button over the
// label after a press on it, as a label's OnClick fires. Links are drawn
// underlined with the hand cursor; plain clickable labels (the captions of
// check boxes) keep the arrow.
class TLinkLabel : public QLabel {
    Q_OBJECT

public:
    TLinkLabel(const QString& text, QWidget* parent, bool link = true);

signals:
    void clicked();
    // With the left button, as a label's OnDblClick.
    void doubleClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool FPressed = false;
};

} // namespace sp

#pragma once

#include "controls/TPanel.h"

#include <QLabel>
#include <QPointer>

namespace sp {

// A page that looks like a transparent part of its window: it paints a slice
// of another control's picture, shifted by ImageLeft/ImageTop, and can draw
// solid lines of BorderWidth along its edges.
class TTransPanel : public TPanel
{
    Q_OBJECT
    Q_PROPERTY(int ImageTop READ ImageTop WRITE SetImageTop)
    Q_PROPERTY(int ImageLeft READ ImageLeft WRITE SetImageLeft)
    Q_PROPERTY(bool BorderLeft READ BorderLeft WRITE SetBorderLeft)
    Q_PROPERTY(bool BorderRight READ BorderRight WRITE SetBorderRight)
    Q_PROPERTY(bool BorderTop READ BorderTop WRITE SetBorderTop)
    Q_PROPERTY(bool BorderBottom READ BorderBottom WRITE SetBorderBottom)
    Q_PROPERTY(uint BorderColor READ BorderColor WRITE SetBorderColor)

public:
    explicit TTransPanel(QWidget* parent = nullptr);

    // The picture control is not owned; once it is gone the panel paints as
    // a plain panel.
    [[nodiscard]] QLabel* Image() const { return FImage; }
    void SetImage(QLabel* image) { FImage = image; }

    // Published values: stored and read directly, no repaint.
    [[nodiscard]] int ImageTop() const { return FImageTop; }
    void SetImageTop(int value) { FImageTop = value; }
    [[nodiscard]] int ImageLeft() const { return FImageLeft; }
    void SetImageLeft(int value) { FImageLeft = value; }
    [[nodiscard]] bool BorderLeft() const { return FBorderLeft; }
    void SetBorderLeft(bool value) { FBorderLeft = value; }
    [[nodiscard]] bool BorderRight() const { return FBorderRight; }
    void SetBorderRight(bool value) { FBorderRight = value; }
    [[nodiscard]] bool BorderTop() const { return FBorderTop; }
    void SetBorderTop(bool value) { FBorderTop = value; }
    [[nodiscard]] bool BorderBottom() const { return FBorderBottom; }
    void SetBorderBottom(bool value) { FBorderBottom = value; }
    [[nodiscard]] TColor BorderColor() const { return FBorderColor; }
    void SetBorderColor(TColor value) { FBorderColor = value; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPointer<QLabel> FImage;
    int FImageTop = 0;
    int FImageLeft = 0;
    bool FBorderLeft = false;
    bool FBorderRight = false;
    bool FBorderTop = false;
    bool FBorderBottom = false;
    TColor FBorderColor = clBlack;
};

} // namespace sp

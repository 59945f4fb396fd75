#pragma once

#include "controls/TPanel.h"

namespace sp {

// The program's push button: a rounded body in configurable colours with an
// optional outer ring and inner frame. It turns to DownColor while held and
// fires OnClick itself when released over the place it was pressed.
class TGPRSButton : public TPanel
{
    Q_OBJECT
    Q_PROPERTY(uint ExtColor READ ExtColor WRITE SetExtColor)
    Q_PROPERTY(uint IntColor READ IntColor WRITE SetIntColor)
    Q_PROPERTY(uint BgColor READ BgColor WRITE SetBgColor)
    Q_PROPERTY(uint DownColor READ DownColor WRITE SetDownColor)
    Q_PROPERTY(uint BorderColor READ BorderColor WRITE SetBorderColor)
    Q_PROPERTY(int ExtWidth READ ExtWidth WRITE SetExtWidth)
    Q_PROPERTY(int IntWidth READ IntWidth WRITE SetIntWidth)
    Q_PROPERTY(int Curve READ Curve WRITE SetCurve)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)

public:
    explicit TGPRSButton(QWidget* parent = nullptr);

    [[nodiscard]] bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool value);
    [[nodiscard]] bool Pressed() const { return FPressed; }
    void SetPressed(bool value);
    void Paint();

    // Published values: stored and read directly, no repaint.
    [[nodiscard]] TColor ExtColor() const { return FExtColor; }
    void SetExtColor(TColor value) { FExtColor = value; }
    [[nodiscard]] TColor IntColor() const { return FIntColor; }
    void SetIntColor(TColor value) { FIntColor = value; }
    [[nodiscard]] TColor BgColor() const { return FBgColor; }
    void SetBgColor(TColor value) { FBgColor = value; }
    [[nodiscard]] TColor DownColor() const { return FDownColor; }
    void SetDownColor(TColor value) { FDownColor = value; }
    [[nodiscard]] TColor BorderColor() const { return FBorderColor; }
    void SetBorderColor(TColor value) { FBorderColor = value; }
    [[nodiscard]] int ExtWidth() const { return FExtWidth; }
    void SetExtWidth(int value) { FExtWidth = value; }
    [[nodiscard]] int IntWidth() const { return FIntWidth; }
    void SetIntWidth(int value) { FIntWidth = value; }
    [[nodiscard]] int Curve() const { return FCurve; }
    void SetCurve(int value) { FCurve = value; }

signals:
    void OnClick(sp::TGPRSButton* sender);
    void OnDblClick(sp::TGPRSButton* sender);
    // held: the mouse buttons held during the event.
    void OnMouseDown(Qt::MouseButton button, Qt::MouseButtons held, int x, int y);
    void OnMouseMove(Qt::MouseButtons held, int x, int y);
    void OnMouseUp(Qt::MouseButton button, Qt::MouseButtons held, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    [[nodiscard]] bool InInnerArea(int x, int y) const;
    void PaintButton(QPainter& painter) const;

    TColor FExtColor = clBlack;
    TColor FIntColor = clBlack;
    TColor FBgColor = clWhite;
    TColor FDownColor = RGBToColor(188, 185, 246);
    TColor FBorderColor = RGBToColor(0, 6, 116);
    int FExtWidth = 0;
    int FIntWidth = 0;
    int FCurve = 4;
    bool FPressed = false;
    int FPressX = 0;
    int FPressY = 0;
};

} // namespace sp

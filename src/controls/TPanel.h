#pragma once

#include "controls/TColor.h"

#include <QWidget>

namespace sp {

// A plain panel: background colour, optional one-pixel bevel, centred caption.
// The program's own controls build on it.
class TPanel : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(uint Color READ Color WRITE SetColor)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE SetBorderWidth)

public:
    enum class TBevel { None, Lowered, Raised };

    explicit TPanel(QWidget* parent = nullptr);

    [[nodiscard]] TColor Color() const { return FColor; }
    void SetColor(TColor color);
    [[nodiscard]] QString Caption() const { return FCaption; }
    void SetCaption(const QString& caption);
    [[nodiscard]] int BorderWidth() const { return FBorderWidth; }
    void SetBorderWidth(int width);
    [[nodiscard]] TBevel BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TBevel bevel);

protected:
    void paintEvent(QPaintEvent* event) override;
    // Background, bevel and caption, as a plain panel draws itself.
    void PaintPanel(QPainter& painter);

private:
    TColor FColor = clBtnFace;
    QString FCaption;
    int FBorderWidth = 0;
    TBevel FBevelOuter = TBevel::Raised;
};

} // namespace sp

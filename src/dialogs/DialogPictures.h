#pragma once

#include <QPixmap>
#include <QStyle>

class QLabel;
class QWidget;

namespace sp {

// The desktop's standard icon, drawn at exactly size x size pixels.
[[nodiscard]] QPixmap StandardPicture(QStyle::StandardPixmap which, int size);

// A picture control at x, y showing the standard icon at size x size.
QLabel* CreatePicture(QWidget* parent, QStyle::StandardPixmap which, int x, int y, int size);

} // namespace sp

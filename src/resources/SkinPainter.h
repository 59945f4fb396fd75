#pragma once

#include "resources/SkinFiles.h"

#include <QColor>
#include <QImage>
#include <QString>

namespace sp::skin {

// The drawing of every picture of the skin. The build runs it once through
// skin-painter and keeps the results as the program's resources, so the
// program itself never paints them.

// The operator's palette; the violets are those of the main window's own
// controls (modem list selection, busy link).
inline const QColor kDeepViolet(58, 36, 108);
inline const QColor kBrandViolet(104, 84, 150);  // 9852008
inline const QColor kSelectViolet(137, 102, 181); // 11888265
inline const QColor kPaleViolet(236, 231, 246);
inline const QColor kGraphGreen(44, 159, 22); // the traffic graph's 1482540

// Rows of the background: the title band above the pages, the pages (white,
// because the buttons paint white around their rounded shapes), the strip of
// the links below them.
inline constexpr int kPageTop = 49;
inline constexpr int kPageImageTop = 52; // the pages draw the picture 52 rows up
inline constexpr int kPageHeight = 265;
inline constexpr int kFooterTop = kPageImageTop + kPageHeight; // 317
inline constexpr int kVisibleHeight = 358; // the window's shape ends here

[[nodiscard]] QImage PaintBackground();
[[nodiscard]] QImage PaintHeading(Heading heading);
[[nodiscard]] QImage PaintProgramIcon(int size);
[[nodiscard]] QImage PaintTrayIcon(bool connected, int size);

// The caption of a page heading.
[[nodiscard]] QString HeadingCaption(Heading heading);

} // namespace sp::skin

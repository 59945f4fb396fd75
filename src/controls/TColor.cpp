#include "controls/TColor.h"

namespace sp {

QColor ColorToQColor(TColor color)
{
    if ((color & 0xFF000000u) == clSystemColor) {
        switch (color & 0xFFu) {
        case 3: return QColor(128, 128, 128);  // inactive caption
        case 5: return QColor(255, 255, 255);  // window
        case 11: return QColor(212, 208, 200); // inactive border
        case 15: return QColor(212, 208, 200); // button face
        case 16: return QColor(128, 128, 128); // button shadow
        case 17: return QColor(128, 128, 128); // grey text
        case 18: return QColor(0, 0, 0);       // button text
        case 20: return QColor(255, 255, 255); // button highlight
        default: return QColor(0, 0, 0);
        }
    }
    return QColor(static_cast<int>(color & 0xFFu), static_cast<int>((color >> 8) & 0xFFu),
                  static_cast<int>((color >> 16) & 0xFFu));
}

} // namespace sp

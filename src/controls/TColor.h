#pragma once

#include <QColor>

#include <cstdint>

namespace sp {

// Colours as the window descriptions store them: 0x00BBGGRR, low byte red.
// Values with the high byte 0xFF name a system colour by its index.
using TColor = uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clSystemColor = 0xFF000000;
inline constexpr TColor clInactiveCaption = clSystemColor | 3;
inline constexpr TColor clWindow = clSystemColor | 5;
inline constexpr TColor clInactiveBorder = clSystemColor | 11;
inline constexpr TColor clBtnFace = clSystemColor | 15;
inline constexpr TColor clBtnShadow = clSystemColor | 16;
inline constexpr TColor clGrayText = clSystemColor | 17;
inline constexpr TColor clBtnText = clSystemColor | 18;
inline constexpr TColor clBtnHighlight = clSystemColor | 20;

// The RGB colour of a TColor; system colours resolve to the classic desktop
// scheme, so the controls look the same on every machine and in tests.
[[nodiscard]] QColor ColorToQColor(TColor color);

// The TColor of an RGB colour (the inverse for plain colours).
[[nodiscard]] constexpr TColor RGBToColor(int r, int g, int b)
{
    return static_cast<TColor>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}

} // namespace sp

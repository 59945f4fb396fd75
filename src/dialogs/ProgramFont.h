#pragma once

#include <QFont>

namespace sp {

// The program's font: Tahoma where installed, else a sans-serif font with
// Cyrillic letters, at the given height in pixels (the character height of
// the window descriptions; dialogs use 11).
[[nodiscard]] QFont ProgramFont(int pixelHeight = 11);

// The family ProgramFont uses on this machine.
[[nodiscard]] QString ProgramFontFamily();

} // namespace sp

#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace sp::skin {

// The pictures of the main window, painted at build time from their
// sources in this folder and kept in the program's resources.

// 500 x 360: the window's background with the painted title area (minimise
// symbol within x 453-472, close symbol within x 475-494, y 5-21).
[[nodiscard]] QPixmap Background();

enum class Heading {
    Connect,   // main page, 145 x 25
    Agreement, // user agreement, 361 x 25
    Start,     // installation page of the wizard, 113 x 25
    Service,   // settings page, 113 x 25
    About,     // About page
};
[[nodiscard]] QPixmap HeadingPicture(Heading heading);

// The tray icon (connected or not) and the program's icon.
[[nodiscard]] QIcon TrayIcon(bool connected);
[[nodiscard]] QIcon ProgramIcon();

// Writes the program's icon as PNG files for a desktop entry, in the layout of
// the freedesktop icon theme: folder/<n>x<n>/apps/skyportal.png for n of 16,
// 22, 24, 32, 48, 64, 128 and 256. False when a file cannot be written.
[[nodiscard]] bool WriteProgramIcon(const QString& folder);

// The user agreement as rich text for a label 454 pixels wide (the 470-pixel
// box less its scroll bar); it lays out to about 1155 pixels.
[[nodiscard]] QString AgreementText();

} // namespace sp::skin

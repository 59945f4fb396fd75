#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sp {

// Special folders of the shell, by their platform identifiers.
inline constexpr int CSIDL_STARTUP = 0x07;
inline constexpr int CSIDL_DESKTOPDIRECTORY = 0x10;
inline constexpr int CSIDL_COMMON_STARTUP = 0x18;
inline constexpr int CSIDL_COMMON_DESKTOPDIRECTORY = 0x19;

// Every folder is the user's own by default, on both families: the desktop
// folder as `xdg-user-dir DESKTOP` names it (else XDG_DESKTOP_DIR of
// $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Desktop) and the autostart folder
// $XDG_CONFIG_HOME/autostart (else ~/.config/autostart). machine.ini
// [folders] overrides each one: Desktop=, Startup=, CommonDesktop=,
// CommonStartup= (host paths, or Windows paths under drive C:), which is how
// tests and an emulated all-users setup keep them apart.
// Empty for an unknown identifier. The folder is not created.
[[nodiscard]] std::filesystem::path SpecialFolderPath(int csidl);

// A shortcut is a freedesktop desktop entry. Name is the link's file name
// without ".desktop"; the target and its arguments are quoted for the Exec
// key, so blanks, quotes and shell characters in paths are harmless.
struct TShellLink {
    std::string name;
    std::filesystem::path target;
    std::string arguments;   // e.g. "/auto"; may be empty
    std::string description; // Comment=
    std::filesystem::path workingDirectory;
    std::string icon; // Icon=, a theme name or a path; may be empty
};

// Writes <folder>/<name>.desktop atomically, replacing one of that name; the
// folder is created. The entry is executable and, where `gio` exists, marked
// trusted, so a desktop launches it. False when it cannot be written.
bool SaveShellLink(const TShellLink& link, const std::filesystem::path& folder);

// The desktop entry's text (tests, tools).
[[nodiscard]] std::string ShellLinkText(const TShellLink& link);
// The Exec value for a command and its arguments, quoted and escaped as the
// desktop entry format asks.
[[nodiscard]] std::string DesktopExecValue(const std::filesystem::path& target, std::string_view arguments);

// The "open" verb: hands a URL or file to the desktop (xdg-open, or
// $SKYPORTAL_OPEN when set) without waiting. False when it could not be
// started.
bool ShellExecuteOpen(const std::string& what);

} // namespace sp

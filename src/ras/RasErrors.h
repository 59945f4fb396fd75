#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/WindowMessages.h"

namespace sp {

// Sent to the main window whenever the text of error 711 is looked up.
inline constexpr UINT WM_CONFIG_ERROR = WM_USER + 5;

// The main window registers its handle here at creation and 0 when it goes;
// until then (and in tests) any window may stand in. 0: nobody is told.
void SetMainWindowHandle(HWND wnd);
[[nodiscard]] HWND MainWindowHandle();

// Progress text for a connection state reported while dialling; nothing for
// the states without a text (sub-entry and final states, unknown numbers),
// which leave the progress text as it is.
[[nodiscard]] std::optional<std::string_view> ConnStateText(uint32_t state);

// Description of a remote access result code (UTF-8): the program's own text
// for 711 (and the main window is told), else the service's text for the
// family of WinVersion, else empty.
[[nodiscard]] std::string GetRasErrorDescr(int32_t code);

// One log line "RAS-<operation>" with the code and its description
// ("Unrecognized" when there is none); nothing for code 0.
void LogRasError(std::string_view operation, int32_t code);

} // namespace sp

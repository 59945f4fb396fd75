#pragma once

#include "platform/system/WindowMessages.h"
#include "ras/RasErrors.h" // WM_CONFIG_ERROR (WM_USER + 5)

namespace sp {

// Messages of the main window. Every sender sends synchronously and nobody
// reads the result.
inline constexpr UINT WM_CONN_LOST = WM_USER + 2;     // the watched link is down
inline constexpr UINT WM_STAT_UPDATE = WM_USER + 3;   // wParam session bytes received, lParam sent
inline constexpr UINT WM_RESTORE_APP = WM_USER + 4;   // a second start asks to be shown
inline constexpr UINT WM_CONNECTED = WM_USER + 6;     // wParam the new connection's handle
inline constexpr UINT WM_BASE_COUNTERS = WM_USER + 7; // wParam/lParam counters a session starts from

} // namespace sp

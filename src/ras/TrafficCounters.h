#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/rasapi/ras.h"

namespace sp {

class TRegistry;

// Where GetStatistics finds the main window's current connection when it is
// given 0. The main window registers it at creation (it reads its own field;
// the field changes only while the statistics thread cannot be reading it).
using MainConnectionSource = std::function<HRASCONN()>;
void SetMainConnectionSource(MainConnectionSource source);
// The main window's current connection, 0 when none (or no source).
[[nodiscard]] HRASCONN MainConnection();

// Received and transmitted byte counters. WinVersion below 500: the dial-up
// adapter's totals since the machine started, from HKEY_DYN_DATA (hConn is
// ignored), result 0. 500 and above: the connection's statistics (hConn, or
// the main window's connection when 0; none at all gives 0/0 and result 0);
// on failure the counters are left alone and the code is returned.
DWORD GetStatistics(uint32_t& received, uint32_t& transmitted, HRASCONN hConn);

// One little-endian counter of at most 4 bytes from a REG_BINARY value of
// the current key of `reg`; 0 (and a log line) when it is missing or of
// another type.
[[nodiscard]] uint32_t ReadBinary(TRegistry& reg, std::string_view valueName);

} // namespace sp

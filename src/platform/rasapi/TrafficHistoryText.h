#pragma once

// The traffic history as text: the CSV that scripts read (byte for byte the
// same from rasctl and from the program's export) and the aligned tables a
// person reads.

#include "platform/rasapi/TrafficHistoryQuery.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sp::ras {

// "512 B", "1.50 KiB", "20.00 MiB", "1.25 GiB".
[[nodiscard]] std::string FormatBytes(uint64_t bytes);
// Bytes, or a number with K, M or G as powers of 1024 ("500M" is 524288000).
// False for anything else, zero, or more than 64 bits hold.
[[nodiscard]] bool ParseBytes(std::string_view text, uint64_t& bytes);
// YYYY-MM-DDTHH:MM:SSZ
[[nodiscard]] std::string UtcStamp(int64_t unixSeconds);
// YYYY-MM-DD HH:MM:SS in local time.
[[nodiscard]] std::string LocalStamp(int64_t unixSeconds);

[[nodiscard]] std::string SessionsCsv(const std::vector<HistorySession>& rows);
[[nodiscard]] std::string DaysCsv(const std::vector<HistoryDay>& rows);
[[nodiscard]] std::string CyclesCsv(const std::vector<HistoryCycle>& rows);

[[nodiscard]] std::string SessionsTable(const std::vector<HistorySession>& rows);
[[nodiscard]] std::string DaysTable(const std::vector<HistoryDay>& rows);
[[nodiscard]] std::string CyclesTable(const std::vector<HistoryCycle>& rows);

} // namespace sp::ras

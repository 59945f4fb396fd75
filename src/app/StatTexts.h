#pragma once

#include <QString>

#include <cstdint>

namespace sp {

// The texts of the main page's statistics.

// "h часов mm минут" of a connection time in days; whole days are dropped.
[[nodiscard]] QString ConnTimeText(double days);
// The connection time as a time of day in the long time format, H:mm:ss.
[[nodiscard]] QString LongTimeText(double days);
// Maximum speed in bytes per second: "120 байт/сек", "35 Kбайт/сек",
// "10 Mбайт/сек" (above 9,000 and 9,000,000, rounded half to even).
[[nodiscard]] QString MaxSpeedText(uint32_t speed);
// A byte count: "10000 байт", above 10,000 "10 Kбайт" (rounded half to even).
[[nodiscard]] QString BytesText(uint32_t bytes);
// The hint of a graph column: above 100,000 in Kбайт/сек and above
// 10,000,000 in Мбайт/сек (Cyrillic М), both rounded up.
[[nodiscard]] QString GraphHintText(uint32_t speed);

} // namespace sp

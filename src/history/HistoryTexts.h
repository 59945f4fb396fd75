#pragma once

#include "platform/rasapi/ModemReading.h"

#include <QString>

#include <cstdint>
#include <string>

namespace sp {

// "512 байт", "12,5 Кбайт", "120,3 Мбайт", "1,25 Гбайт".
[[nodiscard]] QString HistorySize(uint64_t bytes);
// YYYY-MM-DD as DD.MM.YYYY.
[[nodiscard]] QString HistoryDate(const std::string& isoDate);

// What the subscriber is told when the cycle passes 80 % or 100 % of its
// limit, and when the service has hung up there.
[[nodiscard]] QString LimitWarningText(uint32_t level, uint64_t used, uint64_t limit);
[[nodiscard]] QString LimitHangUpText(uint64_t limit);

// What the modem last said, for the tray's hint and the statistics window:
// "Zentora, сигнал 64 % (−73 дБм)", ", роуминг", or what keeps it off the
// network; empty when it has not been read.
[[nodiscard]] QString ModemReadingText(const ras::ModemReading& r);

} // namespace sp

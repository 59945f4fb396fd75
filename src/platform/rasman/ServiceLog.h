#pragma once

#include <filesystem>
#include <string_view>

namespace sp::ras {

// The service's own log, <root>/run/rasman.log: what a real device said and
// why a dial through it failed. Kept small: past its bound it moves to
// rasman.log.1 and starts again. Writing never fails the caller.
void ServiceLog(std::string_view line);

[[nodiscard]] std::filesystem::path ServiceLogPath();

inline constexpr size_t kServiceLogLimit = 256 * 1024;

} // namespace sp::ras

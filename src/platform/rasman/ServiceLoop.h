#pragma once

#include <chrono>
#include <cstddef>

namespace sp::ras {

// Runs the daemon of the current machine root until it is told to stop (a
// stop request, SIGTERM or SIGINT). Returns the process exit code. When
// another daemon already serves the machine root it returns 0 at once.
int RunService();

// What one client may leave with the service. Requests are read only while
// fewer than kMaxQueuedRequests (or kMaxQueuedBytes) wait, and answered only
// while less than kOutboxHighWater of its answers is unsent; a client whose
// unsent answers pass kMaxOutbox, or that takes none of them for
// kStalledClientLimit, is disconnected.
inline constexpr size_t kMaxQueuedRequests = 64;
inline constexpr size_t kMaxQueuedBytes = 256 * 1024;
inline constexpr size_t kOutboxHighWater = 64 * 1024;
inline constexpr size_t kMaxOutbox = (1u << 20) + 64 * 1024;
inline constexpr std::chrono::seconds kStalledClientLimit{10};

// The poll time-out until `next`: whole milliseconds rounded up (rounding
// down would poll with a zero time-out for the last part of every wait),
// at most 200 ms so that signals and the files are looked at regularly.
[[nodiscard]] int PollTimeoutMs(std::chrono::steady_clock::time_point now,
                                std::chrono::steady_clock::time_point next);

} // namespace sp::ras

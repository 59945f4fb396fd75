#pragma once

#include <string>

namespace sp::ras {

// Starts the daemon `exe` for the current machine root unless one answers,
// and waits until it accepts connections. One starter at a time per machine
// root (a lock in run/). False when it could not be started.
bool StartServiceWith(const std::string& exe);

} // namespace sp::ras

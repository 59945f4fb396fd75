#pragma once

namespace sp::ras {

// Runs the daemon of the current machine root until it is told to stop (a
// stop request, SIGTERM or SIGINT). Returns the process exit code. When
// another daemon already serves the machine root it returns 0 at once.
int RunService();

} // namespace sp::ras

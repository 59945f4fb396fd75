#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace sp::ras {

// The rasctl command line: devices, entries, connections, drop HANDLE|all,
// traffic HANDLE RX TX, service start|stop|freeze|thaw, reload.
// Returns the exit code (0 done, 1 refused or failed, 2 usage).
int RasCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The usage text (rasctl --help).
[[nodiscard]] const char* RasCtlUsage();

} // namespace sp::ras

#pragma once

#include "platform/base/MachineRoot.h"

namespace sp {
class TRegistry;
}

namespace sp::ras {

// The machine every new machine root starts with: network.ini describing the
// simulated GPRS network, and the modems "USB GPRS Modem" and "Bluetooth Phone
// Modem" registered for the emulated family (plus the "WAN Miniport (PPTP)"
// VPN device of network.ini). Does nothing when network.ini exists already,
// so an operator's changes stay. Safe to call from any process at start.
// Returns true when it created the machine.
bool EnsureDefaultMachine();

// Registers the two default modems unless a modem of that name is present.
void SeedDefaultModems(TRegistry& reg, const MachineVersion& v);

// The text of the default network.ini.
[[nodiscard]] const char* DefaultNetworkIni();

} // namespace sp::ras

#pragma once

#include "platform/base/MachineRoot.h"

#include <string>

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

// Registers a modem for the emulated family, its keys laid out as the class
// installer lays them out, unless a modem of that name is present. True when
// it wrote one.
bool RegisterModem(TRegistry& reg, const MachineVersion& v, const std::string& name, const std::string& port);

// Registers the two default modems unless a modem of that name is present.
void SeedDefaultModems(TRegistry& reg, const MachineVersion& v);

// The text of the default network.ini.
[[nodiscard]] const char* DefaultNetworkIni();

} // namespace sp::ras

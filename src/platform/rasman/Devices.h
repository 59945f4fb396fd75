#pragma once

#include "platform/base/MachineRoot.h"
#include "platform/rasman/NetworkConfig.h"

#include <string>
#include <string_view>
#include <vector>

namespace sp {
class TRegistry;
}

namespace sp::ras {

struct Device {
    std::string type; // "modem", "vpn", ...
    std::string name; // UTF-8
};

inline constexpr const char* kNtModemClassKey =
    "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* k9xModemEnumKey = "\\Enum\\Root\\Modem";
inline constexpr const char* k9xModemEnumKeyAlt = "\\Enum\\Root\\MDMGEN";
inline constexpr const char* k9xDriverClassKey = "\\System\\CurrentControlSet\\Services\\Class\\";

// The modems registered for the emulated family (by their "FriendlyName"),
// then the other devices of network.ini. Unreadable keys are skipped.
[[nodiscard]] std::vector<Device> EnumDevices(TRegistry& reg, const MachineVersion& v,
                                              const NetworkConfig& net);

// The "UserInit" of the first modem with this friendly name; empty when none.
[[nodiscard]] std::string ModemUserInit(TRegistry& reg, const MachineVersion& v, std::string_view friendlyName);

// The APN that an init string such as AT+CGDCONT=1,"IP","internet" asks for;
// empty when it defines no context.
[[nodiscard]] std::string ApnFromUserInit(std::string_view init);

} // namespace sp::ras

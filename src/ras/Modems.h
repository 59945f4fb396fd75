#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rasapi/ras.h"

namespace sp {

// The modem key exists but cannot be opened (no rights); what() is the
// Russian text shown to the user.
class EModemAccess : public std::runtime_error {
public:
    EModemAccess();
};

// Registry key whose subkeys are the modems, for the platform of the machine
// root (NT family, else 95/98/ME where "\Enum\Root\Modem" wins over
// "\Enum\Root\MDMGEN" when both exist).
[[nodiscard]] std::string ModemClassKey();

// Fills `list` (cleared first) with the names of the devices of type modem,
// in service order, each name once (letter case ignored). 0 on success, the
// service's code on failure (logged, list empty), 635 after an unexpected
// exception (logged).
DWORD EnumDevices(std::vector<std::string>& list);

// "UserInit" of the first registry modem whose "FriendlyName" is exactly
// `modem`; empty when none matches or the modem key is missing. Throws
// EModemAccess when the modem key cannot be opened.
[[nodiscard]] std::string GetModemInitString(std::string_view modem);

// Writes "UserInit" := text to every registry modem whose "FriendlyName" is
// exactly `modem`; true when at least one was written. Throws EModemAccess
// when the modem key cannot be opened for writing; registry write failures
// pass through as ERegistryException.
bool SetModemInitString(std::string_view modem, std::string_view text);

} // namespace sp

#pragma once

#include <cstdint>

#include "platform/rasapi/ras.h"

namespace sp {

// The four bindings of the remote access functions, one per Windows family.
enum class RasVariant { Ras98, RasME, Ras2k, RasXP };

// Record sizes each binding writes into the records' size field; 0 where the
// binding does not use the record.
struct RasSizes {
    DWORD rasConn;
    DWORD rasConnStatus;
    DWORD rasDialParams;
    DWORD rasEntryName;
    DWORD rasEntry;
    DWORD rasDevInfo;
    DWORD rasStats;
};

[[nodiscard]] constexpr RasSizes SizesOf(RasVariant v)
{
    switch (v) {
    case RasVariant::Ras98: return {412, 160, 1052, 264, 1768, 152, 0};
    case RasVariant::RasME: return {676, 288, 1060, 264, 1768, 152, 0};
    case RasVariant::Ras2k: return {692, 288, 1060, 532, 2088, 152, 60};
    case RasVariant::RasXP: return {692, 288, 1060, 532, 2884, 152, 60};
    }
    return {692, 288, 1060, 532, 2088, 152, 60};
}

// The binding for a version code: 410 Ras98, 490 RasME, 501 RasXP for
// reading and writing entry properties and Ras2k for the rest, any other
// code (400, 500, later) Ras2k.
[[nodiscard]] constexpr RasVariant SelectRasVariant(uint32_t winVersion, bool entryProperties = false)
{
    switch (winVersion) {
    case 410: return RasVariant::Ras98;
    case 490: return RasVariant::RasME;
    case 501: return entryProperties ? RasVariant::RasXP : RasVariant::Ras2k;
    default: return RasVariant::Ras2k;
    }
}

} // namespace sp

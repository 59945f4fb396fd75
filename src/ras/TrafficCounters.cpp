#include "ras/TrafficCounters.h"

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/registry/Registry.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"

namespace sp {

namespace {

std::mutex gSourceMutex;
MainConnectionSource gSource;

constexpr DWORD kNotReady = ERROR_RASMAN_CANNOT_INITIALIZE;

} // namespace

HRASCONN MainConnection()
{
    std::lock_guard lk(gSourceMutex);
    return gSource ? gSource() : 0;
}

void SetMainConnectionSource(MainConnectionSource source)
{
    std::lock_guard lk(gSourceMutex);
    gSource = std::move(source);
}

uint32_t ReadBinary(TRegistry& reg, std::string_view valueName)
{
    try {
        if (!reg.HasCurrentKey() || reg.GetDataType(valueName) != RegType::Binary)
            throw std::runtime_error("not a binary value");
        const auto bytes = reg.ReadBinary(valueName);
        uint8_t buf[4] = {};
        const size_t n = std::min<size_t>(bytes.size(), sizeof buf);
        std::memcpy(buf, bytes.data(), n);
        uint32_t value = 0;
        for (size_t i = 0; i < n; ++i)
            value |= uint32_t{buf[i]} << (8 * i);
        return value;
    } catch (...) {
        LogRasError(std::string("ReadBinary-").append(valueName), 888);
    }
    return 0;
}

DWORD GetStatistics(uint32_t& received, uint32_t& transmitted, HRASCONN hConn)
{
    DWORD result = kNotReady;
    try {
        if (WinVersion < 500) {
            TRegistry reg;
            reg.SetRootKey(RegHive::DynData);
            (void)reg.OpenKeyReadOnly("\\PerfStats\\StatData");
            received = ReadBinary(reg, "Dial-Up Adapter\\TotalBytesRecvd");
            transmitted = ReadBinary(reg, "Dial-Up Adapter\\TotalBytesXmit");
            result = 0;
        } else {
            const HRASCONN h = hConn != 0 ? hConn : MainConnection();
            if (h == 0) {
                received = 0;
                transmitted = 0;
                return 0;
            }
            RAS_STATS stats;
            std::memset(&stats, 0, sizeof stats);
            stats.dwSize = Ras2k::Sizes.rasStats;
            result = Ras2k::RasGetConnectionStatistics(h, &stats);
            if (result == 0) {
                transmitted = stats.dwBytesXmited;
                received = stats.dwBytesRcved;
            } else {
                LogRasError("GetStatistics", static_cast<int32_t>(result));
            }
        }
    } catch (...) {
        LogRasError("GetStatistics", static_cast<int32_t>(result));
    }
    // Logged again on leaving: a failure leaves two identical entries.
    if (result != 0)
        LogRasError("GetStatistics", static_cast<int32_t>(result));
    return result;
}

} // namespace sp

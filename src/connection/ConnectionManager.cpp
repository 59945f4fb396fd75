#include "connection/ConnectionManager.h"

#include "log/EventLog.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "update/ApnUpdate.h"

#include <atomic>
#include <exception>

namespace sp {

namespace {

std::atomic<int64_t> gRoundMs{500};

} // namespace

bool ApnUpdateDue(const IApnUpdateHost* host)
{
    return host != nullptr && !host->APNUpdated();
}

void RunApnUpdate(IApnUpdateHost* host, std::vector<std::string>& apns)
{
    if (!ApnUpdateDue(host))
        return;
    std::string version = host->GetAPNVersionString();
    std::string message;
    if (UpdateAPNList(version, apns, message, false)) {
        host->SetAPNUpdated(true);
        host->SetAPNVersion(version);
    } else {
        WriteLog("GetAPNList", 0, message);
    }
}

void SetConnectionRoundLength(std::chrono::milliseconds round)
{
    gRoundMs.store(round.count());
}

std::chrono::milliseconds ConnectionRoundLength()
{
    return std::chrono::milliseconds(gRoundMs.load());
}

bool CloseConnection(HRASCONN hConn)
{
    if (hConn == 0)
        return true;
    try {
        const DWORD code = Ras2k::HangUpAndWait(hConn);
        LogRasError("HangUp", static_cast<int32_t>(code));
        return code == 0;
    } catch (const std::exception& e) {
        WriteLog("CloseConnection", 888, e.what());
        return true;
    }
}

} // namespace sp

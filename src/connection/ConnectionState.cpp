#include "connection/ConnectionState.h"

#include "log/EventLog.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"

#include <exception>

namespace sp {
namespace {
template <class R>
bool ConnIsOpenT(HRASCONN hConn) {
    typename R::RASCONNSTATUS status{};
    status.dwSize = sizeof status;
    const DWORD code = R::RasGetConnectStatusA(hConn, &status);
    LogRasError("GetConnectStatus", static_cast<int32_t>(code));
    return code == 0 && status.rasconnstate == RASCS_Connected;
}
} // namespace

bool ConnIsOpen(HRASCONN hConn) {
    try {
        switch (WinVersion) {
        case 410: return ConnIsOpenT<Ras98>(hConn);
        case 490: return ConnIsOpenT<RasME>(hConn);
        default: return ConnIsOpenT<Ras2k>(hConn);
        }
    } catch (const std::exception& e) {
        WriteLog("ConnIsOpen", 888, e.what());
        return false;
    }
}

} // namespace sp

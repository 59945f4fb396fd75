#pragma once

#include "platform/rasapi/ras.h"
#include "ras/RasVariant.h"

#include <vector>

namespace sp {

// One binding of the remote access functions for one Windows family: the
// record types of that family and a wrapper per function. A wrapper takes
// the function's arguments in the same order and returns its result
// unchanged, after the readiness probe (711 without calling anything when
// the service does not answer). Each function is looked up by name at each
// call; a missing library or function throws ERasBinding. Wrappers hold no
// state and may be called from any thread.
template <RasVariant V, class Conn, class ConnStatus, class DialParams, class EntryName, class Entry>
struct TRasBinding {
    static constexpr RasVariant Variant = V;
    static constexpr RasSizes Sizes = SizesOf(V);

    using RASCONN = Conn;
    using RASCONNSTATUS = ConnStatus;
    using RASDIALPARAMS = DialParams;
    using RASENTRYNAME = EntryName;
    using RASENTRY = Entry;
    using RASDEVINFO = RASDEVINFOA;

    static_assert(sizeof(Conn) == Sizes.rasConn);
    static_assert(sizeof(ConnStatus) == Sizes.rasConnStatus);
    static_assert(sizeof(DialParams) == Sizes.rasDialParams);
    static_assert(sizeof(EntryName) == Sizes.rasEntryName);
    static_assert(sizeof(Entry) == Sizes.rasEntry);
    static_assert(sizeof(RASDEVINFOA) == Sizes.rasDevInfo);

    [[nodiscard]] static DWORD WaitRasReady();
    // Guarded hang-up (see HangUpAndWait in TRasThread.h); RasHangUpA is the same.
    static DWORD HangUpAndWait(HRASCONN hConn);
    static DWORD RasHangUpA(HRASCONN hConn) { return HangUpAndWait(hConn); }

    static DWORD RasGetErrorStringA(UINT uErrorValue, LPSTR lpszErrorString, DWORD cBufSize);
    static DWORD RasEnumConnectionsA(RASCONN* lprasconn, LPDWORD lpcb, LPDWORD lpcConnections);
    // The live connections with the buffer-too-small handshake done: one
    // record asked for first, then as many as the service reports. `count` is
    // what the service reported, even when the result is an error.
    static DWORD EnumConnections(std::vector<RASCONN>& conns, DWORD& count);
    static DWORD RasEnumEntriesA(LPCSTR reserved, LPCSTR lpszPhonebook, RASENTRYNAME* lprasentryname,
                                 LPDWORD lpcb, LPDWORD lpcEntries);
    static DWORD RasGetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, RASENTRY* lpRasEntry,
                                        LPDWORD lpdwEntryInfoSize, LPBYTE lpbDeviceInfo,
                                        LPDWORD lpdwDeviceInfoSize);
    static DWORD RasGetEntryDialParamsA(LPCSTR lpszPhonebook, RASDIALPARAMS* lprasdialparams,
                                        LPBOOL lpfPassword);
    static DWORD RasSetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, RASENTRY* lpRasEntry,
                                        DWORD dwEntryInfoSize, LPBYTE lpbDeviceInfo,
                                        DWORD dwDeviceInfoSize);
    static DWORD RasEnumDevicesA(RASDEVINFO* lpRasDevInfo, LPDWORD lpcb, LPDWORD lpcDevices);
    static DWORD RasGetConnectStatusA(HRASCONN hrasconn, RASCONNSTATUS* lpRasConnStatus);
    static DWORD RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCSTR lpszPhonebook,
                          RASDIALPARAMS* lpRasDialParams, DWORD dwNotifierType, LPVOID lpvNotifier,
                          LPHRASCONN lphRasConn);
};

// Windows 98.
struct Ras98 : TRasBinding<RasVariant::Ras98, RASCONN_412, RASCONNSTATUS_160, RASDIALPARAMS_1052,
                           RASENTRYNAME_264, RASENTRY_1768> {};

// Windows ME.
struct RasME : TRasBinding<RasVariant::RasME, RASCONN_676, RASCONNSTATUS_288, RASDIALPARAMS_1060,
                           RASENTRYNAME_264, RASENTRY_1768> {};

// Windows 2000, and 95, NT 4.0 and XP for everything but entry properties.
struct Ras2k : TRasBinding<RasVariant::Ras2k, RASCONN_692, RASCONNSTATUS_288, RASDIALPARAMS_1060,
                           RASENTRYNAME_532, RASENTRY_2088> {
    static_assert(sizeof(RAS_STATS) == Sizes.rasStats);
    // Only the 2000/XP family has per-connection statistics.
    static DWORD RasGetConnectionStatistics(HRASCONN hRasConn, RAS_STATS* lpStatistics);
};

// Windows XP entry properties; the probe is that of Ras2k.
struct RasXP {
    static constexpr RasVariant Variant = RasVariant::RasXP;
    static constexpr RasSizes Sizes = SizesOf(RasVariant::RasXP);
    using RASENTRY = RASENTRY_2884;
    static_assert(sizeof(RASENTRY) == Sizes.rasEntry);

    [[nodiscard]] static DWORD WaitRasReady() { return Ras2k::WaitRasReady(); }
    static DWORD RasGetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, RASENTRY* lpRasEntry,
                                        LPDWORD lpdwEntryInfoSize, LPBYTE lpbDeviceInfo,
                                        LPDWORD lpdwDeviceInfoSize);
    static DWORD RasSetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, RASENTRY* lpRasEntry,
                                        DWORD dwEntryInfoSize, LPBYTE lpbDeviceInfo,
                                        DWORD dwDeviceInfoSize);
};

} // namespace sp

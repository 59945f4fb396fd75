#include "ras/RasBinding.h"

#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"

namespace sp {

namespace {

constexpr DWORD kNotReady = ERROR_RASMAN_CANNOT_INITIALIZE;

// Probe, then look the function up afresh and call it.
template <class Fn, class... Args>
DWORD Guarded(const char* name, Args... args)
{
    if (sp::WaitRasReady() == static_cast<int32_t>(kNotReady))
        return kNotReady;
    return RasProcAs<Fn>(name)(args...);
}

} // namespace

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::WaitRasReady()
{
    return static_cast<DWORD>(sp::WaitRasReady());
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::HangUpAndWait(HRASCONN hConn)
{
    return static_cast<DWORD>(sp::HangUpAndWait(hConn, Sizes.rasConnStatus));
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasGetErrorStringA(UINT uErrorValue, LPSTR lpszErrorString,
                                                         DWORD cBufSize)
{
    return Guarded<PFN_RasGetErrorStringA>("RasGetErrorStringA", uErrorValue, lpszErrorString, cBufSize);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::EnumConnections(std::vector<RASCONN>& conns, DWORD& count)
{
    conns.assign(1, RASCONN{});
    conns[0].dwSize = sizeof(RASCONN);
    DWORD cb = 0;
    count = 0;
    DWORD code = RasEnumConnectionsA(conns.data(), &cb, &count);
    if (code == ERROR_BUFFER_TOO_SMALL && count > 0) {
        conns.assign(count, RASCONN{});
        conns[0].dwSize = static_cast<DWORD>((cb + count / 2) / count);
        code = RasEnumConnectionsA(conns.data(), &cb, &count);
    }
    return code;
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasEnumConnectionsA(RASCONN* lprasconn, LPDWORD lpcb,
                                                          LPDWORD lpcConnections)
{
    return Guarded<PFN_RasEnumConnectionsA>("RasEnumConnectionsA", reinterpret_cast<LPRASCONNA>(lprasconn),
                                            lpcb, lpcConnections);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasEnumEntriesA(LPCSTR reserved, LPCSTR lpszPhonebook,
                                                      RASENTRYNAME* lprasentryname, LPDWORD lpcb,
                                                      LPDWORD lpcEntries)
{
    return Guarded<PFN_RasEnumEntriesA>("RasEnumEntriesA", reserved, lpszPhonebook,
                                        reinterpret_cast<LPRASENTRYNAMEA>(lprasentryname), lpcb, lpcEntries);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasGetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry,
                                                             RASENTRY* lpRasEntry,
                                                             LPDWORD lpdwEntryInfoSize,
                                                             LPBYTE lpbDeviceInfo,
                                                             LPDWORD lpdwDeviceInfoSize)
{
    return Guarded<PFN_RasGetEntryPropertiesA>("RasGetEntryPropertiesA", lpszPhonebook, lpszEntry,
                                               reinterpret_cast<LPRASENTRYA>(lpRasEntry), lpdwEntryInfoSize,
                                               lpbDeviceInfo, lpdwDeviceInfoSize);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasGetEntryDialParamsA(LPCSTR lpszPhonebook,
                                                             RASDIALPARAMS* lprasdialparams,
                                                             LPBOOL lpfPassword)
{
    return Guarded<PFN_RasGetEntryDialParamsA>("RasGetEntryDialParamsA", lpszPhonebook,
                                               reinterpret_cast<LPRASDIALPARAMSA>(lprasdialparams),
                                               lpfPassword);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasSetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry,
                                                             RASENTRY* lpRasEntry, DWORD dwEntryInfoSize,
                                                             LPBYTE lpbDeviceInfo, DWORD dwDeviceInfoSize)
{
    return Guarded<PFN_RasSetEntryPropertiesA>("RasSetEntryPropertiesA", lpszPhonebook, lpszEntry,
                                               reinterpret_cast<LPRASENTRYA>(lpRasEntry), dwEntryInfoSize,
                                               lpbDeviceInfo, dwDeviceInfoSize);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasEnumDevicesA(RASDEVINFO* lpRasDevInfo, LPDWORD lpcb,
                                                      LPDWORD lpcDevices)
{
    return Guarded<PFN_RasEnumDevicesA>("RasEnumDevicesA", lpRasDevInfo, lpcb, lpcDevices);
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasGetConnectStatusA(HRASCONN hrasconn, RASCONNSTATUS* lpRasConnStatus)
{
    return Guarded<PFN_RasGetConnectStatusA>("RasGetConnectStatusA", hrasconn,
                                             reinterpret_cast<LPRASCONNSTATUSA>(lpRasConnStatus));
}

template <RasVariant V, class C, class S, class D, class N, class E>
DWORD TRasBinding<V, C, S, D, N, E>::RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCSTR lpszPhonebook,
                                               RASDIALPARAMS* lpRasDialParams, DWORD dwNotifierType,
                                               LPVOID lpvNotifier, LPHRASCONN lphRasConn)
{
    return Guarded<PFN_RasDialA>("RasDialA", lpRasDialExtensions, lpszPhonebook,
                                 reinterpret_cast<LPRASDIALPARAMSA>(lpRasDialParams), dwNotifierType,
                                 lpvNotifier, lphRasConn);
}

template struct TRasBinding<RasVariant::Ras98, RASCONN_412, RASCONNSTATUS_160, RASDIALPARAMS_1052,
                            RASENTRYNAME_264, RASENTRY_1768>;
template struct TRasBinding<RasVariant::RasME, RASCONN_676, RASCONNSTATUS_288, RASDIALPARAMS_1060,
                            RASENTRYNAME_264, RASENTRY_1768>;
template struct TRasBinding<RasVariant::Ras2k, RASCONN_692, RASCONNSTATUS_288, RASDIALPARAMS_1060,
                            RASENTRYNAME_532, RASENTRY_2088>;

DWORD Ras2k::RasGetConnectionStatistics(HRASCONN hRasConn, RAS_STATS* lpStatistics)
{
    return Guarded<PFN_RasGetConnectionStatistics>("RasGetConnectionStatistics", hRasConn, lpStatistics);
}

DWORD RasXP::RasGetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, RASENTRY* lpRasEntry,
                                    LPDWORD lpdwEntryInfoSize, LPBYTE lpbDeviceInfo,
                                    LPDWORD lpdwDeviceInfoSize)
{
    return Guarded<PFN_RasGetEntryPropertiesA>("RasGetEntryPropertiesA", lpszPhonebook, lpszEntry, lpRasEntry,
                                               lpdwEntryInfoSize, lpbDeviceInfo, lpdwDeviceInfoSize);
}

DWORD RasXP::RasSetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, RASENTRY* lpRasEntry,
                                    DWORD dwEntryInfoSize, LPBYTE lpbDeviceInfo, DWORD dwDeviceInfoSize)
{
    return Guarded<PFN_RasSetEntryPropertiesA>("RasSetEntryPropertiesA", lpszPhonebook, lpszEntry, lpRasEntry,
                                               dwEntryInfoSize, lpbDeviceInfo, dwDeviceInfoSize);
}

} // namespace sp

// The exported remote access functions: each one checks its arguments the
// way the platform does, asks the daemon and copies the answer into the
// caller's records, never past the sizes the caller gave.

#include "platform/rasapi/RasClient.h"
#include "platform/rasapi/RasErrorText.h"
#include "platform/rasapi/ras.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#define RAS_EXPORT extern "C" __attribute__((visibility("default")))

using sp::ras::Frame;
using sp::ras::Msg;
using sp::ras::RasClient;
using sp::ras::Reader;
using sp::ras::Writer;

namespace {

bool KnownSize(std::initializer_list<DWORD> sizes, DWORD size)
{
    return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

// The caller's record as far as a known layout goes; only its size field
// when the size is none of the layouts (the daemon answers 632 then).
std::string RecordBytes(const void* record, std::initializer_list<DWORD> sizes)
{
    DWORD size;
    std::memcpy(&size, record, 4);
    const size_t n = KnownSize(sizes, size) ? size : 4;
    return std::string(static_cast<const char*>(record), n);
}

constexpr std::initializer_list<DWORD> kConnSizes = {412, 676, 692};
constexpr std::initializer_list<DWORD> kStatusSizes = {160, 288};
constexpr std::initializer_list<DWORD> kDialParamsSizes = {1052, 1060};
constexpr std::initializer_list<DWORD> kEntryNameSizes = {264, 532};
constexpr std::initializer_list<DWORD> kEntrySizes = {1768, 1796, 2088, 2884};

// Sends one request; 711 when the service cannot be reached.
DWORD Ask(Msg type, const Writer& w, Frame& reply)
{
    if (!RasClient::Instance().Call(type, w.Data(), reply))
        return ERROR_RASMAN_CANNOT_INITIALIZE;
    Reader r(reply.payload);
    const DWORD code = r.U32();
    return r.Failed() ? ERROR_RASMAN_CANNOT_INITIALIZE : code;
}

// Shared by the enumerations: the reply carries code, byte count, record
// count and the records.
DWORD Enumerate(Msg type, Writer& w, void* buffer, LPDWORD lpcb, LPDWORD lpcCount)
{
    Frame reply;
    const DWORD code = Ask(type, w, reply);
    Reader r(reply.payload);
    r.U32();
    const DWORD required = r.U32();
    const DWORD count = r.U32();
    const std::string data = r.Str();
    if (r.Failed())
        return code;
    if (code == SUCCESS) {
        if (data.size() > *lpcb || (data.size() > 0 && !buffer))
            return ERROR_UNKNOWN;
        if (!data.empty())
            std::memcpy(buffer, data.data(), data.size());
    }
    if (code == SUCCESS || code == ERROR_BUFFER_TOO_SMALL) {
        *lpcb = required;
        *lpcCount = count;
    }
    return code;
}

// The report channels of asynchronous dials, each read by a thread of the
// library that calls the caller's notifier. Finished threads are joined at
// the next dial; the rest when the library is unloaded.
class DialWatchers {
public:
    ~DialWatchers()
    {
        std::list<Watch> all;
        {
            std::lock_guard lock(m_);
            unloading_.store(true, std::memory_order_release);
            for (Watch& w : watches_)
                ::shutdown(w.fd, SHUT_RDWR);
            all.splice(all.end(), watches_);
        }
        for (Watch& w : all)
            w.thread.join();
    }

    void Start(int fd, HRASCONN h, DWORD type, LPVOID notifier)
    {
        std::lock_guard lock(m_);
        for (auto it = watches_.begin(); it != watches_.end();) {
            if (it->done->load(std::memory_order_acquire)) {
                it->thread.join();
                it = watches_.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        watches_.push_back(Watch{fd, done, std::thread([this, fd, h, type, notifier, done] {
                                     Run(fd, h, type, notifier);
                                     done->store(true, std::memory_order_release);
                                 })});
    }

private:
    struct Watch {
        int fd;
        std::shared_ptr<std::atomic<bool>> done; // shared with the thread until it ends
        std::thread thread;
    };

    void Run(int fd, HRASCONN h, DWORD type, LPVOID notifier)
    {
        auto notify = [&](RASCONNSTATE state, DWORD error) {
            if (type == 0)
                reinterpret_cast<RASDIALFUNC>(notifier)(WM_RASDIALEVENT, state, error);
            else
                reinterpret_cast<RASDIALFUNC1>(notifier)(h, WM_RASDIALEVENT, state, error, 0);
        };
        RASCONNSTATE last = RASCS_OpenPort;
        bool finished = false;
        Frame f;
        while (sp::ras::RecvFrame(fd, f)) {
            if (f.type == Msg::ReportsEnd) {
                finished = true; // hung up: the caller knows already
                break;
            }
            if (f.type != Msg::Report)
                break;
            Reader r(f.payload);
            const auto state = static_cast<RASCONNSTATE>(r.U32());
            const DWORD error = r.U32();
            if (r.Failed())
                break;
            last = state;
            notify(state, error);
            if (error != 0 || state == RASCS_Connected || state == RASCS_Disconnected) {
                finished = true;
                break;
            }
        }
        // The service went away in the middle of the dial: without this last
        // report the caller would wait for a final state that never comes.
        if (!finished && !unloading_.load(std::memory_order_acquire))
            notify(last, ERROR_PORT_DISCONNECTED);
        ::close(fd);
    }

    std::mutex m_;
    std::list<Watch> watches_;
    std::atomic<bool> unloading_{false};
};

DialWatchers& Watchers()
{
    static DialWatchers w;
    return w;
}

} // namespace

RAS_EXPORT DWORD RasEnumDevicesA(LPRASDEVINFOA lpRasDevInfo, LPDWORD lpcb, LPDWORD lpcDevices)
{
    if (!lpcb || !lpcDevices)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.U32(lpRasDevInfo ? 1 : 0).U32(lpRasDevInfo ? lpRasDevInfo->dwSize : 0).U32(*lpcb);
    return Enumerate(Msg::EnumDevices, w, lpRasDevInfo, lpcb, lpcDevices);
}

RAS_EXPORT DWORD RasEnumConnectionsA(LPRASCONNA lprasconn, LPDWORD lpcb, LPDWORD lpcConnections)
{
    if (!lpcb || !lpcConnections)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.U32(lprasconn ? 1 : 0).U32(lprasconn ? lprasconn->dwSize : 0).U32(*lpcb);
    return Enumerate(Msg::EnumConnections, w, lprasconn, lpcb, lpcConnections);
}

RAS_EXPORT DWORD RasEnumEntriesA(LPCSTR reserved, LPCSTR lpszPhonebook, LPRASENTRYNAMEA lprasentryname,
                                 LPDWORD lpcb, LPDWORD lpcEntries)
{
    if (!lpcb || !lpcEntries)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.U32(reserved ? 1 : 0).OptStr(lpszPhonebook);
    w.U32(lprasentryname ? 1 : 0).U32(lprasentryname ? lprasentryname->dwSize : 0).U32(*lpcb);
    return Enumerate(Msg::EnumEntries, w, lprasentryname, lpcb, lpcEntries);
}

RAS_EXPORT DWORD RasGetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, LPRASENTRYA lpRasEntry,
                                        LPDWORD lpdwEntryInfoSize, LPBYTE lpbDeviceInfo,
                                        LPDWORD lpdwDeviceInfoSize)
{
    (void)lpbDeviceInfo;
    if (!lpdwEntryInfoSize)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.OptStr(lpszPhonebook).OptStr(lpszEntry);
    w.U32(lpRasEntry ? 1 : 0).U32(lpRasEntry ? lpRasEntry->dwSize : 0).U32(*lpdwEntryInfoSize);
    Frame reply;
    const DWORD code = Ask(Msg::GetEntry, w, reply);
    Reader r(reply.payload);
    r.U32();
    const DWORD size = r.U32();
    const std::string data = r.Str();
    if (r.Failed())
        return code;
    if (code == SUCCESS) {
        if (!lpRasEntry || data.size() > *lpdwEntryInfoSize || !KnownSize(kEntrySizes, DWORD(data.size())))
            return ERROR_UNKNOWN;
        std::memcpy(lpRasEntry, data.data(), data.size());
    }
    if (code == SUCCESS || code == ERROR_BUFFER_TOO_SMALL) {
        *lpdwEntryInfoSize = size;
        if (lpdwDeviceInfoSize)
            *lpdwDeviceInfoSize = 0; // no device-specific data is kept
    }
    return code;
}

RAS_EXPORT DWORD RasSetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, LPRASENTRYA lpRasEntry,
                                        DWORD dwEntryInfoSize, LPBYTE lpbDeviceInfo, DWORD dwDeviceInfoSize)
{
    (void)lpbDeviceInfo;
    (void)dwDeviceInfoSize;
    if (!lpRasEntry)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.OptStr(lpszPhonebook).OptStr(lpszEntry);
    std::string record = RecordBytes(lpRasEntry, kEntrySizes);
    if (record.size() > dwEntryInfoSize)
        record.resize(std::max<size_t>(4, dwEntryInfoSize)); // never read past the caller's size
    w.Str(record).U32(dwEntryInfoSize);
    Frame reply;
    return Ask(Msg::SetEntry, w, reply);
}

RAS_EXPORT DWORD RasDeleteEntryA(LPCSTR lpszPhonebook, LPCSTR lpszEntry)
{
    Writer w;
    w.OptStr(lpszPhonebook).OptStr(lpszEntry);
    Frame reply;
    return Ask(Msg::DeleteEntry, w, reply);
}

RAS_EXPORT DWORD RasGetEntryDialParamsA(LPCSTR lpszPhonebook, LPRASDIALPARAMSA lprasdialparams,
                                        LPBOOL lpfPassword)
{
    if (!lprasdialparams || !lpfPassword)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.OptStr(lpszPhonebook).Str(RecordBytes(lprasdialparams, kDialParamsSizes));
    Frame reply;
    const DWORD code = Ask(Msg::GetDialParams, w, reply);
    if (code != SUCCESS)
        return code;
    Reader r(reply.payload);
    r.U32();
    const std::string data = r.Str();
    const DWORD password = r.U32();
    if (r.Failed() || data.size() != lprasdialparams->dwSize)
        return ERROR_UNKNOWN;
    std::memcpy(lprasdialparams, data.data(), data.size());
    *lpfPassword = password ? 1 : 0;
    return SUCCESS;
}

RAS_EXPORT DWORD RasSetEntryDialParamsA(LPCSTR lpszPhonebook, LPRASDIALPARAMSA lprasdialparams,
                                        BOOL fRemovePassword)
{
    if (!lprasdialparams)
        return ERROR_INVALID_PARAMETER;
    Writer w;
    w.OptStr(lpszPhonebook).Str(RecordBytes(lprasdialparams, kDialParamsSizes)).U32(fRemovePassword ? 1 : 0);
    Frame reply;
    return Ask(Msg::SetDialParams, w, reply);
}

RAS_EXPORT DWORD RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCSTR lpszPhonebook,
                          LPRASDIALPARAMSA lpRasDialParams, DWORD dwNotifierType, LPVOID lpvNotifier,
                          LPHRASCONN lphRasConn)
{
    if (!lpRasDialParams || !lphRasConn)
        return ERROR_INVALID_PARAMETER;
    if (lpRasDialExtensions && lpRasDialExtensions->dwSize != 16 && lpRasDialExtensions->dwSize != 28)
        return ERROR_INVALID_SIZE;
    if (lpvNotifier && dwNotifierType > 1)
        return ERROR_INVALID_PARAMETER;
    // A handle going in would resume a paused dial; nothing here pauses.
    if (*lphRasConn != 0)
        return ERROR_INVALID_HANDLE;
    Writer w;
    w.OptStr(lpszPhonebook).Str(RecordBytes(lpRasDialParams, kDialParamsSizes));
    const int fd = RasClient::Instance().Open();
    if (fd < 0)
        return ERROR_RASMAN_CANNOT_INITIALIZE;
    Frame reply;
    if (!sp::ras::Exchange(fd, Msg::Dial, w.Data(), reply) || reply.type != Msg::Reply) {
        ::close(fd);
        return ERROR_RASMAN_CANNOT_INITIALIZE;
    }
    Reader r(reply.payload);
    const DWORD code = r.U32();
    const HRASCONN h = r.U32();
    if (r.Failed() || code != SUCCESS) {
        ::close(fd);
        return r.Failed() && code == SUCCESS ? ERROR_UNKNOWN : code;
    }
    *lphRasConn = h;
    if (lpvNotifier) {
        Watchers().Start(fd, h, dwNotifierType, lpvNotifier);
        return SUCCESS;
    }
    // No notifier: the call itself waits for the end of the dial.
    DWORD result = ERROR_PORT_DISCONNECTED;
    Frame f;
    while (sp::ras::RecvFrame(fd, f) && (f.type == Msg::Report || f.type == Msg::ReportsEnd)) {
        if (f.type == Msg::ReportsEnd) {
            result = ERROR_USER_DISCONNECTION;
            break;
        }
        Reader rr(f.payload);
        const DWORD state = rr.U32();
        const DWORD error = rr.U32();
        if (error != 0) {
            result = error;
            break;
        }
        if (state == RASCS_Connected) {
            result = SUCCESS;
            break;
        }
    }
    ::close(fd);
    return result;
}

// One record about a connection, copied into the caller's record of `size`
// bytes when the daemon answers with exactly that size and it is a valid one.
template <class Valid>
static DWORD AskConnectionRecord(Msg type, HRASCONN hConn, void* out, DWORD size, Valid valid)
{
    Writer w;
    w.U32(hConn).U32(size);
    Frame reply;
    const DWORD code = Ask(type, w, reply);
    if (code != SUCCESS)
        return code;
    Reader r(reply.payload);
    r.U32();
    const std::string data = r.Str();
    if (r.Failed() || data.size() != size || !valid(DWORD(data.size())))
        return ERROR_UNKNOWN;
    std::memcpy(out, data.data(), data.size());
    return SUCCESS;
}

RAS_EXPORT DWORD RasHangUpA(HRASCONN hrasconn)
{
    Writer w;
    w.U32(hrasconn);
    Frame reply;
    return Ask(Msg::HangUp, w, reply);
}

RAS_EXPORT DWORD RasGetConnectStatusA(HRASCONN hrasconn, LPRASCONNSTATUSA lpRasConnStatus)
{
    if (!lpRasConnStatus)
        return ERROR_INVALID_PARAMETER;
    return AskConnectionRecord(Msg::GetStatus, hrasconn, lpRasConnStatus, lpRasConnStatus->dwSize,
                               [](DWORD size) { return KnownSize(kStatusSizes, size); });
}

RAS_EXPORT DWORD RasGetConnectionStatistics(HRASCONN hRasConn, PRAS_STATS lpStatistics)
{
    if (!lpStatistics)
        return ERROR_INVALID_PARAMETER;
    return AskConnectionRecord(Msg::GetStatistics, hRasConn, lpStatistics, lpStatistics->dwSize,
                               [](DWORD size) { return size == sizeof(RAS_STATS); });
}

RAS_EXPORT DWORD RasGetErrorStringA(UINT uErrorValue, LPSTR lpszErrorString, DWORD cBufSize)
{
    if (!lpszErrorString)
        return ERROR_INVALID_PARAMETER;
    const std::string text = sp::ras::DialErrorText(uErrorValue);
    if (text.empty())
        return ERROR_INVALID_PARAMETER;
    if (cBufSize < text.size() + 1)
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(lpszErrorString, text.data(), text.size());
    lpszErrorString[text.size()] = '\0';
    return SUCCESS;
}

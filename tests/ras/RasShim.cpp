// A stand-in for the remote access client library, for the hang-up cases the
// real service never produces: a connection that never goes away, and a
// hang-up that does not return. Loaded in place of the real library.
#include "platform/rasapi/ras.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {
std::mutex gMutex;
std::condition_variable gCv;
bool gBlockHangUp = false;
std::vector<std::chrono::steady_clock::time_point> gHangUps;
} // namespace

extern "C" {

__attribute__((visibility("default"))) DWORD RasEnumDevicesA(LPRASDEVINFOA, LPDWORD lpcb, LPDWORD lpcDevices)
{
    *lpcb = 152;
    *lpcDevices = 1;
    return ERROR_BUFFER_TOO_SMALL;
}

// Every call is counted; the result tells the calls apart.
__attribute__((visibility("default"))) DWORD RasHangUpA(HRASCONN)
{
    std::unique_lock lk(gMutex);
    gHangUps.push_back(std::chrono::steady_clock::now());
    gCv.wait(lk, [] { return !gBlockHangUp; });
    return 600 + static_cast<DWORD>(gHangUps.size());
}

// The connection never becomes invalid.
__attribute__((visibility("default"))) DWORD RasGetConnectStatusA(HRASCONN, LPRASCONNSTATUSA status)
{
    status->rasconnstate = RASCS_Connected;
    return 0;
}

__attribute__((visibility("default"))) void ShimBlockHangUp(bool block)
{
    {
        std::lock_guard lk(gMutex);
        gBlockHangUp = block;
    }
    gCv.notify_all();
}

__attribute__((visibility("default"))) int ShimHangUps(double* firstToLastMs)
{
    std::lock_guard lk(gMutex);
    const int n = static_cast<int>(gHangUps.size());
    *firstToLastMs = n < 2 ? 0.0
                           : std::chrono::duration<double, std::milli>(gHangUps.back() - gHangUps.front()).count();
    gHangUps.clear();
    return n;
}
}

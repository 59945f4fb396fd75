#include "connection/TStatThread.h"

#include "connection/ConnectionManager.h"
#include "connection/ConnectionState.h"
#include "connection/MainWindowMessages.h"
#include "ras/TrafficCounters.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace sp {

namespace {

std::mutex gClockMutex;
TStatThread::Clock gClock;

// Local wall-clock time in days since 1899-12-30, the date-time the
// connection time is counted in.
double LocalNowDays()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const double unixSeconds =
        std::chrono::duration<double>(now.time_since_epoch()).count() + static_cast<double>(local.tm_gmtoff);
    return 25569.0 + unixSeconds / 86400.0;
}

} // namespace

TStatThread::TStatThread(HWND wnd, std::function<HRASCONN()> conn) : Wnd(wnd), conn_(std::move(conn))
{
    if (!conn_)
        conn_ = [] { return MainConnection(); };
    FreeOnTerminate = true;
}

void TStatThread::SetClock(Clock clock)
{
    std::lock_guard lk(gClockMutex);
    gClock = std::move(clock);
}

double TStatThread::Now()
{
    std::lock_guard lk(gClockMutex);
    return gClock ? gClock() : LocalNowDays();
}

int32_t TStatThread::Start()
{
    std::lock_guard lk(m_);
    StartTime = Now();
    // Measured against an absolute date, the first sample's speed is 0.
    LastElapsed = StartTime;
    AccTime = 0;
    FSessRecv = 0;
    FSessXmit = 0;
    ++FSession;
    if (ResetTotals) {
        FTotalRecv = 0;
        FTotalXmit = 0;
        ResetTotals = false;
    }
    return 0;
}

void TStatThread::Restart(bool resetTotals)
{
    {
        std::lock_guard lk(m_);
        ResetTotals = resetTotals;
    }
    Start();
}

bool TStatThread::Sample()
{
    const uint32_t session = Session();
    uint32_t recv = 0;
    uint32_t xmit = 0;
    const double now = Now();
    const DWORD code = GetStatistics(recv, xmit, conn_());
    std::lock_guard lk(m_);
    // The read may have waited in a send (the error lookup's) while the owner
    // closed the session: its figures are folded already.
    if (FSession != session)
        return false;
    const double elapsed = now - StartTime;
    if (code != 0) {
        FSpeed = 0;
    } else {
        recv -= BaseRecv.load();
        xmit -= BaseXmit.load();
        const auto ms = static_cast<int64_t>(std::fabs(elapsed - LastElapsed) * 86400000.0);
        const uint32_t bytes = ((recv - FSessRecv) + (xmit - FSessXmit)) * 1000u;
        FSpeed = static_cast<uint32_t>(static_cast<int64_t>(bytes) / (ms + 1));
        FSessRecv = recv;
        FSessXmit = xmit;
    }
    LastElapsed = elapsed;
    return true;
}

void TStatThread::CloseSession()
{
    std::lock_guard lk(m_);
    AccTime += LastElapsed;
    FTotalRecv += FSessRecv;
    FTotalXmit += FSessXmit;
    ++FSession;
}

uint32_t TStatThread::Session() const
{
    std::lock_guard lk(m_);
    return FSession;
}

bool TStatThread::SendIsCurrent() const
{
    std::lock_guard lk(m_);
    return FSendSession == FSession;
}

uint32_t TStatThread::GetSpeed() const
{
    std::lock_guard lk(m_);
    return FSpeed;
}

double TStatThread::GetConnTime() const
{
    std::lock_guard lk(m_);
    return LastElapsed + AccTime;
}

uint32_t TStatThread::SessRecv() const
{
    std::lock_guard lk(m_);
    return FSessRecv;
}

uint32_t TStatThread::SessXmit() const
{
    std::lock_guard lk(m_);
    return FSessXmit;
}

uint32_t TStatThread::TotalRecv() const
{
    std::lock_guard lk(m_);
    return FTotalRecv;
}

uint32_t TStatThread::TotalXmit() const
{
    std::lock_guard lk(m_);
    return FTotalXmit;
}

void TStatThread::Suspend()
{
    TThread::Suspend();
    wake_.SetEvent();
    if (!running_.load() || std::this_thread::get_id() == bodyThread_.load())
        return;
    // This wait cannot last for ever. The thread waits for another thread
    // only inside a synchronous send, and once it is in one the pause is
    // complete: it runs nothing of its own until the send returns, and a
    // poll that waited in a send is given up when a pause or a new session
    // came meanwhile. So the pause holds even when the send is the very one
    // whose handler (a message box's loop, say) called us. Anywhere else the
    // thread runs on without us, its RAS calls bounded by their time-outs,
    // and reaches its safe point, a send or its end within one pass.
    const bool pump = ThreadHandlesMessages();
    while (!PausedAtSafePoint() && !BlockedInSend() && !Finished()) {
        if (pump)
            ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void TStatThread::Terminate()
{
    TThread::Terminate();
    wake_.SetEvent();
}

LRESULT TStatThread::SendToOwner(uint32_t session, UINT msg, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard lk(m_);
        FSendSession = session;
    }
    return SendMessage(Wnd, msg, wParam, lParam);
}

void TStatThread::Execute()
{
    bodyThread_.store(std::this_thread::get_id());
    running_.store(true);
    Start();
    bool failed = false;
    while (!Terminated()) {
        CheckSuspended();
        if (Terminated())
            break;
        // Woken early by a pause or the end: back to the top, where either
        // is honoured; after a resume the full interval runs again.
        if (wake_.WaitFor(ConnectionRoundLength() * 4)) {
            wake_.ResetEvent();
            continue;
        }
        const uint32_t session = Session();
        const bool open = ConnIsOpen(conn_());
        // The poll may have waited in a send of its own (the error lookup's
        // WM_CONFIG_ERROR) while the owner paused the thread or closed the
        // session: its answer then belongs to no session.
        if (Suspended() || Session() != session)
            continue;
        if (open) {
            if (!Sample())
                continue;
            SendToOwner(session, WM_STAT_UPDATE, SessRecv(), static_cast<LPARAM>(SessXmit()));
            failed = false;
        } else if (failed) {
            SendToOwner(session, WM_CONN_LOST, 0, 0);
        } else {
            failed = true;
        }
    }
}

} // namespace sp

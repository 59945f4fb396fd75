#pragma once

#include "platform/rasapi/ras.h"
#include "platform/system/TEvent.h"
#include "platform/system/TThread.h"
#include "platform/system/WindowMessages.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace sp {

// Watches the main window's connection every 2 seconds: a sample of the
// traffic and WM_STAT_UPDATE while it is connected, WM_CONN_LOST from the
// second failed poll in a row on. Created suspended through
// TThread::Create<TStatThread>(wnd), started with Resume(); FreeOnTerminate,
// so the owner only asks it to stop (Terminate) and never waits for it.
//
// The owner pauses it with Suspend() between connections and calls Start,
// Restart and CloseSession only while it is paused. Note: Start() here
// begins a connection period (it hides TThread::Start); the thread itself is
// started and resumed with Resume().
class TStatThread : public TThread {
public:
    // conn: the connection to watch, read at every poll; by default the main
    // window's (TrafficCounters' main connection source).
    explicit TStatThread(HWND wnd, std::function<HRASCONN()> conn = {});

    // Counters the connection started from; set by the owner while paused.
    std::atomic<uint32_t> BaseRecv{0};
    std::atomic<uint32_t> BaseXmit{0};

    int32_t Start();
    void Restart(bool resetTotals);
    // False when the session ended while the counters were read (the sample
    // is then not taken).
    bool Sample();
    void CloseSession();
    // Asked by the owner while it handles WM_STAT_UPDATE or WM_CONN_LOST:
    // whether the message belongs to the session that runs now. One queued
    // before CloseSession (or a new Start) and handled after it is stale.
    [[nodiscard]] bool SendIsCurrent() const;
    [[nodiscard]] uint32_t GetSpeed() const;
    // Connection time in days (the display takes hours and minutes of it).
    [[nodiscard]] double GetConnTime() const;

    [[nodiscard]] uint32_t SessRecv() const;
    [[nodiscard]] uint32_t SessXmit() const;
    [[nodiscard]] uint32_t TotalRecv() const;
    [[nodiscard]] uint32_t TotalXmit() const;

    // Asks the thread to pause and returns once it touches nothing the owner
    // may change: paused at its safe point, or blocked in any synchronous
    // send (its own messages, or the error lookup's WM_CONFIG_ERROR from
    // inside a poll), whoever handles it and however deep. Handles the
    // calling thread's messages while it waits.
    void Suspend();
    // Also wakes the 2-second sleep, so the end is prompt.
    void Terminate();

    // Tests: the clock in days (local wall-clock time), default now.
    using Clock = std::function<double()>;
    static void SetClock(Clock clock);
    [[nodiscard]] static double Now();

protected:
    void Execute() override;

private:
    LRESULT SendToOwner(uint32_t session, UINT msg, WPARAM wParam, LPARAM lParam);
    [[nodiscard]] uint32_t Session() const;

    const HWND Wnd;
    std::function<HRASCONN()> conn_;
    TEvent wake_;
    std::atomic<bool> running_{false};
    std::atomic<std::thread::id> bodyThread_{};

    mutable std::mutex m_; // the figures below; the owner reads them during a send
    uint32_t FSessRecv = 0;
    uint32_t FSessXmit = 0;
    uint32_t FTotalRecv = 0;
    uint32_t FTotalXmit = 0;
    uint32_t FSpeed = 0;
    double AccTime = 0;
    double StartTime = 0;
    double LastElapsed = 0;
    bool ResetTotals = true;
    // Counts the sessions: every Start and CloseSession begins a new one.
    uint32_t FSession = 0;
    uint32_t FSendSession = 0; // the session of the message being sent
};

} // namespace sp

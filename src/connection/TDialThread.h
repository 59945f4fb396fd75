#pragma once

#include "connection/TDialState.h"
#include "platform/rasapi/ras.h"
#include "platform/system/TEvent.h"
#include "platform/system/TThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sp {

class IConnectionQuestion;
class IDialObserver;

// The RAS error codes after which the next number, then the next APN, is
// tried; in this order.
inline constexpr DWORD RetryableDialErrors[] = {629, 660, 668, 676, 678, 691, 719, 730, 734, 736, 749, 645};
[[nodiscard]] bool IsRetryableDialError(int32_t code);

// One dial sequence on its own thread: adopts a connection already up on the
// modem, or makes the entry fit, then tries every APN of the list with up to
// three numbers, reporting each state, attempt and adoption to its observer.
// It keeps the dial's own state (error, details, cancel request, budget) and
// needs nothing of a window. Created suspended by TDialSession, which sets
// the fields, starts it, waits for TerminatedFlag() and then destroys it (not
// FreeOnTerminate).
class TDialThread : public TThread {
public:
    TDialThread() = default;

    // Inputs, set before the start; EntryName is also an output.
    std::string ModemName;
    std::string EntryName;
    std::vector<std::string>* APNList = nullptr; // the caller's list, reordered on success
    IDialObserver* Observer = nullptr;           // outlives the thread; nullptr: nobody watches
    IConnectionQuestion* Question = nullptr;     // outlives the thread; nullptr: a foreign link is kept

    TDialState State;

    std::atomic<bool> DialDone{false};
    std::atomic<int32_t> DialState{7}; // 7 dialling / try the next, 1 connected, 2 failed
    std::atomic<HRASCONN> hConn{0};

    [[nodiscard]] std::string ProgressText() const;
    void SetProgressText(std::string text);

    // Set by the body itself as its very last action, whatever way it ends.
    [[nodiscard]] bool TerminatedFlag() const { return terminatedFlag_.load(std::memory_order_acquire); }
    [[nodiscard]] TEvent& TerminatedEvent() { return terminatedEvent_; }

    // Steps the budget and shows the progress text.
    void NotifyProgress();
    // SetProgressText and NotifyProgress as one report.
    void Report(std::string text);
    // The dial notifier (type 0); reaches the running dial through the
    // manager's registry of the current dial.
    static void DialCallback(UINT unMsg, RASCONNSTATE state, DWORD error);
    // Wakes the dial's wait (a report arrived).
    void Wake() { wake_.SetEvent(); }

protected:
    void Execute() override;

private:
    template <class R, class DialParams>
    void Dial();
    void Body();
    // Sleeps one round unless a report ends the wait first; true when the
    // whole round passed.
    bool SleepRound();
    [[nodiscard]] bool WaitMustEnd() const;
    void NotifyAdopted();
    void NotifyAttempt();

    // Reports reach the observer one at a time, in the order the budget moved.
    std::mutex reportMutex_;
    mutable std::mutex textMutex_;
    std::string progressText_;
    TEvent wake_;
    TEvent terminatedEvent_;
    std::atomic<bool> terminatedFlag_{false};
};

// The running dial, for the notifier, which reports from the library's
// thread at any time, also late. The session registers a dial before it
// starts and clears it before its observer goes; Clear waits (handling
// messages) until no notifier is still inside.
void RegisterDial(std::shared_ptr<TDialThread> thread);
void ClearDial();
// Handles messages until no notifier is inside.
void DrainNotifier();
// Waits until no notifier is running (not on the main thread).
void WaitNotifierIdle();

} // namespace sp

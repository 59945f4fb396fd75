#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/rasapi/ras.h"
#include "platform/system/TEvent.h"
#include "platform/system/TThread.h"

namespace sp {

// What a worker hands back. Held by both the worker and the waiting side, so
// either may let go first (the waiting side gives up after its rounds, the
// worker ends whenever its call returns).
struct TRasCallState {
    std::atomic<int32_t> RasResult{0};
    std::atomic<bool> Done{false}; // written after RasResult, with release
    TEvent DoneEvent;              // lets the waiting side end its round early

    void Publish(int32_t result);
};

// One-shot worker for a remote access call that may block for long: the
// readiness probe (device enumeration without a buffer) or the guarded
// hang-up. Created suspended through TThread::Create, configured, started;
// FreeOnTerminate: nobody waits for it or stops it, it ends when its call
// returns.
class TRasThread : public TThread {
public:
    // connStatusSize: the status record size of the binding that hangs up.
    TRasThread(std::shared_ptr<TRasCallState> state, DWORD connStatusSize);
    ~TRasThread() override;

    DWORD DevBufSize = 0;
    DWORD DevCount = 0;
    HRASCONN hConn = 0;
    bool HangUpMode = false;

    // Workers alive in this process (tests wait for stragglers with it).
    [[nodiscard]] static int Alive();

protected:
    void Execute() override;

private:
    std::shared_ptr<TRasCallState> state_;
    DWORD connStatusSize_;
};

// The readiness probe: 711 when the service did not answer within
// RasWaitRounds + 1 rounds, else the device enumeration's result. Resets
// RasWaitRounds to 20, also when an exception passes.
[[nodiscard]] int32_t WaitRasReady();
// Guarded hang-up: 711 when the probe fails, 0 when the worker did not end
// within 121 rounds, else the last RasHangUpA result.
[[nodiscard]] int32_t HangUpAndWait(HRASCONN hConn, DWORD connStatusSize);

// Length of one waiting round, 500 ms. Tests shorten it; the counts stay.
void SetRasRoundLength(std::chrono::milliseconds round);
[[nodiscard]] std::chrono::milliseconds RasRoundLength();
// Rounds the calling thread's last probe or hang-up wait started (a round
// ends early once the worker is done). For tests and the benchmark.
[[nodiscard]] int LastRasWaitRounds();

} // namespace sp

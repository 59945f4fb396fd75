#include "ras/TRasThread.h"

#include <algorithm>
#include <cstring>

#include "platform/system/WindowMessages.h"
#include "ras/RasGlobals.h"

namespace sp {

namespace {

std::atomic<int> gAlive{0};
std::atomic<int64_t> gRoundMs{500};
thread_local int tlsLastRounds = 0;

constexpr int kHangUpRounds = 121;
constexpr int kHangUpAttempts = 21;

// One round: ends early when the worker is done. A thread that handles
// window messages keeps handling them within the round too, so a worker
// sending to one of its windows is not held for the rest of the round.
void WaitOneRound(TRasCallState& state)
{
    const auto round = RasRoundLength();
    if (!ThreadHandlesMessages()) {
        state.DoneEvent.WaitFor(round);
        return;
    }
    const auto end = std::chrono::steady_clock::now() + round;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || state.DoneEvent.WaitFor(std::min(left, std::chrono::milliseconds(5))))
            return;
        ProcessMessages();
    }
}

// Waits up to `rounds` rounds for the worker, processing the calling thread's
// messages before each; true when the worker was seen done.
bool WaitRounds(TRasCallState& state, int rounds)
{
    int started = 0;
    bool done = false;
    for (int i = 0; i < rounds; ++i) {
        ProcessMessages();
        if (state.Done.load(std::memory_order_acquire)) {
            done = true;
            break;
        }
        ++started;
        WaitOneRound(state);
    }
    tlsLastRounds = started;
    return done;
}

} // namespace

void TRasCallState::Publish(int32_t result)
{
    RasResult.store(result, std::memory_order_relaxed);
    Done.store(true, std::memory_order_release);
    DoneEvent.SetEvent();
}

TRasThread::TRasThread(std::shared_ptr<TRasCallState> state, DWORD connStatusSize)
    : state_(std::move(state)), connStatusSize_(connStatusSize)
{
    FreeOnTerminate = true;
    gAlive.fetch_add(1);
}

TRasThread::~TRasThread()
{
    gAlive.fetch_sub(1);
}

int TRasThread::Alive()
{
    return gAlive.load();
}

void TRasThread::Execute()
{
    if (!HangUpMode) {
        // Throws when the library or the function is missing: the worker
        // then ends without Done and the probe runs out its rounds.
        auto enumDevices = RasProcAs<PFN_RasEnumDevicesA>("RasEnumDevicesA");
        const DWORD r = enumDevices(nullptr, &DevBufSize, &DevCount);
        state_->Publish(static_cast<int32_t>(r));
        return;
    }
    auto hangUp = RasProcAs<PFN_RasHangUpA>("RasHangUpA");
    auto status = RasProcAs<PFN_RasGetConnectStatusA>("RasGetConnectStatusA");
    DWORD last = 0;
    for (int i = 0; i < kHangUpAttempts; ++i) {
        last = hangUp(hConn);
        RASCONNSTATUS_288 st;
        std::memset(&st, 0, sizeof st);
        st.dwSize = connStatusSize_;
        if (status(hConn, &st) == ERROR_INVALID_HANDLE)
            break;
        Sleep(10);
    }
    state_->Publish(static_cast<int32_t>(last));
}

int32_t WaitRasReady()
{
    struct ResetRounds {
        ~ResetRounds() { RasWaitRounds.store(20); }
    } reset;

    auto state = std::make_shared<TRasCallState>();
    state->RasResult.store(711);
    {
        auto worker = TThread::Create<TRasThread>(state, DWORD{288});
        worker->DevCount = 0;
        worker->DevBufSize = 0;
        worker->Start();
    }
    const int n = RasWaitRounds.load();
    const bool done = n >= 0 && WaitRounds(*state, n + 1);
    if (n < 0)
        tlsLastRounds = 0;
    return done ? state->RasResult.load(std::memory_order_relaxed) : 711;
}

int32_t HangUpAndWait(HRASCONN hConn, DWORD connStatusSize)
{
    if (WaitRasReady() == 711)
        return 711;
    auto state = std::make_shared<TRasCallState>();
    {
        auto worker = TThread::Create<TRasThread>(state, connStatusSize);
        worker->hConn = hConn;
        worker->HangUpMode = true;
        worker->Start();
    }
    const bool done = WaitRounds(*state, kHangUpRounds);
    return done ? state->RasResult.load(std::memory_order_relaxed) : 0;
}

void SetRasRoundLength(std::chrono::milliseconds round)
{
    gRoundMs.store(round.count());
}

std::chrono::milliseconds RasRoundLength()
{
    return std::chrono::milliseconds(gRoundMs.load());
}

int LastRasWaitRounds()
{
    return tlsLastRounds;
}

} // namespace sp

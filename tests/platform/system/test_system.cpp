#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/system/TCriticalSection.h"
#include "platform/system/TEvent.h"
#include "platform/system/TThread.h"
#include "platform/system/WindowMessages.h"

using namespace std::chrono_literals;

namespace {

// Runs a function as a thread body.
class TFnThread : public sp::TThread {
public:
    explicit TFnThread(std::function<void(TFnThread&)> fn) : fn_(std::move(fn)) {}
    using sp::TThread::CheckSuspended;
    using sp::TThread::SetReturnValue;

protected:
    void Execute() override { fn_(*this); }

private:
    std::function<void(TFnThread&)> fn_;
};

std::shared_ptr<TFnThread> MakeThread(std::function<void(TFnThread&)> fn)
{
    return sp::TThread::Create<TFnThread>(std::move(fn));
}

// Pumps the main thread's messages until `pred` holds or a generous limit
// passes (a hang fails the test instead of blocking ctest).
template <class Pred>
bool PumpUntil(Pred pred, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        sp::ProcessMessages();
        std::this_thread::yield();
    }
    return true;
}

} // namespace

TEST(Messages, SendFromWorkerRunsHandlerOnWindowThreadWhileWorkerWaits)
{
    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> workerReturned{false};
    std::thread::id handlerThread;
    bool workerStillWaiting = false;
    sp::TMessageWindow wnd([&](sp::UINT msg, sp::WPARAM w, sp::LPARAM l) -> sp::LRESULT {
        handlerThread = std::this_thread::get_id();
        workerStillWaiting = !workerReturned.load();
        return static_cast<sp::LRESULT>(msg + w) + l;
    });
    const sp::HWND h = wnd.Handle();
    auto t = MakeThread([&](TFnThread& self) {
        const auto r = sp::SendMessage(h, sp::WM_USER + 7, 3, 100);
        workerReturned = true;
        self.SetReturnValue(static_cast<int32_t>(r));
    });
    t->Start();
    // WaitFor on the main thread keeps handling messages: no deadlock.
    EXPECT_EQ(t->WaitFor(), static_cast<int32_t>(sp::WM_USER + 7 + 3 + 100));
    EXPECT_EQ(handlerThread, mainId);
    EXPECT_TRUE(workerStillWaiting);
}

TEST(Messages, SendOnOwnThreadCallsHandlerDirectly)
{
    int calls = 0;
    sp::TMessageWindow wnd([&](sp::UINT, sp::WPARAM, sp::LPARAM l) -> sp::LRESULT {
        ++calls;
        return l * 2;
    });
    EXPECT_EQ(sp::SendMessage(wnd.Handle(), sp::WM_USER, 0, 21), 42);
    EXPECT_EQ(calls, 1);
}

TEST(Messages, UnknownAndDestroyedHandlesReturnZero)
{
    EXPECT_EQ(sp::SendMessage(0, sp::WM_USER, 0, 0), 0);
    sp::HWND stale = 0;
    {
        sp::TMessageWindow wnd([](sp::UINT, sp::WPARAM, sp::LPARAM) -> sp::LRESULT { return 5; });
        stale = wnd.Handle();
        EXPECT_EQ(sp::SendMessage(stale, sp::WM_USER, 0, 0), 5);
    }
    EXPECT_EQ(sp::SendMessage(stale, sp::WM_USER, 0, 0), 0);
    // A new window never gets the old handle back.
    sp::TMessageWindow other([](sp::UINT, sp::WPARAM, sp::LPARAM) -> sp::LRESULT { return 6; });
    EXPECT_NE(other.Handle(), stale);
    EXPECT_EQ(sp::SendMessage(stale, sp::WM_USER, 0, 0), 0);
}

TEST(Messages, SendPendingWhileWindowIsDestroyedReturns)
{
    // The worker's send is queued (or not yet) when the window goes: either
    // way it must come back with 0, and the handler must not run.
    for (int i = 0; i < 100; ++i) {
        std::atomic<bool> handled{false};
        auto wnd = std::make_unique<sp::TMessageWindow>([&](sp::UINT, sp::WPARAM, sp::LPARAM) -> sp::LRESULT {
            handled = true;
            return 1;
        });
        const sp::HWND h = wnd->Handle();
        std::atomic<bool> sending{false};
        auto result = std::async(std::launch::async, [&] {
            sending = true;
            return sp::SendMessage(h, sp::WM_USER, 0, 0);
        });
        while (!sending)
            std::this_thread::yield();
        if (i % 2)
            std::this_thread::sleep_for(1ms); // let the send be queued in half the rounds
        wnd.reset(); // no message processing in between
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready) << "send hung on a destroyed window";
        EXPECT_EQ(result.get(), 0);
        EXPECT_FALSE(handled);
        sp::ProcessMessages(); // queued calls of the dead window do nothing
        EXPECT_FALSE(handled);
    }
}

TEST(Messages, BurstFromTwoThreadsAllArriveInOrderPerSender)
{
    constexpr int kPerThread = 2000;
    std::vector<int> lastSeen(2, -1);
    int outOfOrder = 0;
    int received = 0;
    sp::TMessageWindow wnd([&](sp::UINT, sp::WPARAM sender, sp::LPARAM seq) -> sp::LRESULT {
        if (seq != lastSeen[sender] + 1)
            ++outOfOrder;
        lastSeen[sender] = static_cast<int>(seq);
        ++received;
        return seq + 1;
    });
    const sp::HWND h = wnd.Handle();
    std::vector<std::shared_ptr<TFnThread>> workers;
    for (sp::WPARAM s = 0; s < 2; ++s) {
        workers.push_back(MakeThread([h, s](TFnThread& self) {
            int bad = 0;
            for (int i = 0; i < kPerThread; ++i)
                if (sp::SendMessage(h, sp::WM_USER + 1, s, i) != i + 1)
                    ++bad;
            self.SetReturnValue(bad);
        }));
    }
    for (auto& w : workers)
        w->Start();
    for (auto& w : workers)
        EXPECT_EQ(w->WaitFor(), 0);
    EXPECT_EQ(received, 2 * kPerThread);
    EXPECT_EQ(outOfOrder, 0);
}

TEST(Messages, WindowOwnedByWorkerThreadIsServedByItsProcessMessages)
{
    std::atomic<sp::HWND> h{0};
    std::atomic<bool> stop{false};
    std::thread::id handlerThread;
    auto owner = MakeThread([&](TFnThread&) {
        sp::TMessageWindow wnd([&](sp::UINT, sp::WPARAM, sp::LPARAM l) -> sp::LRESULT {
            handlerThread = std::this_thread::get_id();
            return l + 1;
        });
        h = wnd.Handle();
        while (!stop) {
            sp::ProcessMessages();
            std::this_thread::yield();
        }
    });
    owner->Start();
    ASSERT_TRUE(PumpUntil([&] { return h.load() != 0; }));
    EXPECT_EQ(sp::SendMessage(h, sp::WM_USER, 0, 41), 42); // from the main thread
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    stop = true;
    owner->WaitFor();
}

TEST(Threads, CreatedSuspendedRunsOnStartAndReturnsValue)
{
    std::atomic<bool> ran{false};
    auto t = MakeThread([&](TFnThread& self) {
        ran = true;
        self.SetReturnValue(7);
    });
    EXPECT_FALSE(t->Finished());
    EXPECT_FALSE(ran);
    EXPECT_EQ(t->WaitFor(), 0); // never started: returns at once
    t->Resume();
    EXPECT_EQ(t->WaitFor(), 7);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(t->Finished());
}

TEST(Threads, FreeOnTerminateKeepsItselfAliveUntilBodyEnds)
{
    sp::TEvent go;
    std::atomic<bool> done{false};
    std::weak_ptr<TFnThread> weak;
    {
        auto t = MakeThread([&](TFnThread&) {
            go.WaitFor(10s);
            done = true;
        });
        t->FreeOnTerminate = true;
        weak = t;
        t->Start();
    } // the owner lets go while the body still runs
    EXPECT_FALSE(weak.expired());
    go.SetEvent();
    ASSERT_TRUE(PumpUntil([&] { return weak.expired(); }));
    EXPECT_TRUE(done);
}

TEST(Threads, SuspendHoldsAtSafePointUntilResumeOrTerminate)
{
    std::atomic<int> passes{0};
    auto t = MakeThread([&](TFnThread& self) {
        while (!self.Terminated()) {
            self.CheckSuspended();
            ++passes;
            std::this_thread::yield();
        }
    });
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return passes > 10; }));
    t->Suspend();
    ASSERT_TRUE(PumpUntil([&] { return t->PausedAtSafePoint(); }));
    const int held = passes;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(passes, held);
    t->Resume();
    ASSERT_TRUE(PumpUntil([&] { return passes > held + 10; }));
    EXPECT_FALSE(t->PausedAtSafePoint());
    t->Suspend();
    ASSERT_TRUE(PumpUntil([&] { return t->PausedAtSafePoint(); }));
    t->Terminate(); // a suspended thread still ends when told to
    t->WaitFor();
    EXPECT_TRUE(t->Finished());
}

TEST(Threads, ThrowingBodyEndsTheThread)
{
    auto t = MakeThread([](TFnThread&) { throw std::runtime_error("boom"); });
    t->Start();
    t->WaitFor();
    EXPECT_TRUE(t->Finished());
}

TEST(Threads, CriticalSectionIsRecursiveAndExcludesOthers)
{
    sp::TCriticalSection cs;
    int64_t counter = 0;
    auto body = [&](TFnThread&) {
        for (int i = 0; i < 20000; ++i) {
            sp::TCsGuard g(cs);
            cs.Acquire(); // the owner may enter again
            ++counter;
            cs.Release();
        }
    };
    auto a = MakeThread(body);
    auto b = MakeThread(body);
    a->Start();
    b->Start();
    a->WaitFor();
    b->WaitFor();
    EXPECT_EQ(counter, 40000);
}

TEST(Threads, EventEndsWaitEarlyAndTimesOut)
{
    sp::TEvent ev;
    EXPECT_FALSE(ev.WaitFor(1ms));
    auto t = MakeThread([&](TFnThread&) { ev.SetEvent(); });
    t->Start();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(ev.WaitFor(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    t->WaitFor();
    ev.ResetEvent();
    EXPECT_FALSE(ev.IsSet());
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace sp {

// Pauses the calling thread. On a thread that handles window messages prefer
// a wait that processes them (TThread::WaitFor, the RAS waits).
void Sleep(uint32_t ms);

// A worker thread in the manner of the VCL's TThread: derive, override
// Execute, create through Create<T>() (which makes it suspended), configure,
// then Start(). Ownership is shared: the caller's handle and the running body
// each hold the object, so it lives until the body has ended and every handle
// is gone; no thread object is ever destroyed while its body runs.
//
// Shutdown: the owner stops a long-running thread with Terminate() (Execute
// polls Terminated()) and, unless FreeOnTerminate is set, waits for it with
// WaitFor(). A FreeOnTerminate thread ends by itself; its owner may drop the
// handle at any time and nobody waits for it.
class TThread : public std::enable_shared_from_this<TThread> {
public:
    template <class T, class... Args>
    static std::shared_ptr<T> Create(Args&&... args)
    {
        return std::make_shared<T>(std::forward<Args>(args)...);
    }

    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // First call starts the body; later calls undo Suspend().
    void Start();
    void Resume();
    // Asks the body to pause at its next CheckSuspended(); Resume() or
    // Terminate() lets it go on.
    void Suspend();
    [[nodiscard]] bool Suspended() const;
    // True while the body is held at a safe point; then it touches nothing
    // the owner may change.
    [[nodiscard]] bool PausedAtSafePoint() const;
    // True while the body waits in a synchronous send to a window of another
    // thread (SendMessage); until that send returns it runs nothing of its
    // own.
    [[nodiscard]] bool BlockedInSend() const;

    void Terminate();
    [[nodiscard]] bool Terminated() const;

    // Waits until the body has ended and returns ReturnValue. A thread that
    // owns windows (the main thread) keeps processing its messages meanwhile,
    // so the worker can finish a synchronous send. Never call it from the
    // thread's own body. A thread never started returns at once.
    int32_t WaitFor();
    [[nodiscard]] bool Finished() const;

    // Set before Start(); the thread then keeps itself alive alone and nobody
    // waits for it.
    bool FreeOnTerminate = false;

    [[nodiscard]] int32_t ReturnValue() const { return returnValue_.load(std::memory_order_acquire); }

protected:
    virtual void Execute() = 0;
    // Safe point of the body: blocks while the owner has suspended the thread.
    void CheckSuspended();
    void SetReturnValue(int32_t v) { returnValue_.store(v, std::memory_order_release); }

private:
    void Run(std::shared_ptr<TThread> self);

    std::thread thread_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool started_ = false;
    bool finished_ = false;
    bool suspendRequested_ = false;
    bool paused_ = false;
    std::atomic<bool> terminated_{false};
    std::atomic<int32_t> returnValue_{0};
    std::atomic<int> sends_{0};

    friend class TSendWait;
};

// Marks the calling thread, when it runs a TThread's body, as waiting in a
// synchronous send for as long as it lives; SendMessage makes one around its
// wait for another thread.
class TSendWait {
public:
    TSendWait();
    ~TSendWait();
    TSendWait(const TSendWait&) = delete;
    TSendWait& operator=(const TSendWait&) = delete;

private:
    TThread* thread_;
};

} // namespace sp

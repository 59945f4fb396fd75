#include "platform/system/TThread.h"

#include <chrono>
#include <stdexcept>

#include "platform/system/WindowMessages.h"

namespace sp {

namespace {

// The TThread whose body runs on this thread, if any.
thread_local TThread* tCurrent = nullptr;

} // namespace

void Sleep(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TThread::TThread() = default;

TThread::~TThread()
{
    if (!thread_.joinable())
        return;
    // The body holds the object while it runs, so the last handle can only go
    // here once the body is over; on the thread itself that means detaching.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void TThread::Start()
{
    std::lock_guard lk(m_);
    if (started_) {
        suspendRequested_ = false;
        cv_.notify_all();
        return;
    }
    auto self = weak_from_this().lock();
    if (!self)
        throw std::logic_error("TThread must be created through TThread::Create");
    started_ = true;
    thread_ = std::thread(&TThread::Run, this, std::move(self));
}

void TThread::Resume()
{
    Start();
}

void TThread::Suspend()
{
    std::lock_guard lk(m_);
    suspendRequested_ = true;
}

bool TThread::Suspended() const
{
    std::lock_guard lk(m_);
    return suspendRequested_;
}

void TThread::Terminate()
{
    {
        std::lock_guard lk(m_);
        terminated_.store(true, std::memory_order_release);
    }
    cv_.notify_all();
}

bool TThread::Terminated() const
{
    return terminated_.load(std::memory_order_acquire);
}

bool TThread::Finished() const
{
    std::lock_guard lk(m_);
    return finished_;
}

bool TThread::PausedAtSafePoint() const
{
    std::lock_guard lk(m_);
    return paused_;
}

bool TThread::BlockedInSend() const
{
    return sends_.load(std::memory_order_acquire) > 0;
}

TSendWait::TSendWait() : thread_(tCurrent)
{
    if (thread_ != nullptr)
        thread_->sends_.fetch_add(1, std::memory_order_acq_rel);
}

TSendWait::~TSendWait()
{
    if (thread_ != nullptr)
        thread_->sends_.fetch_sub(1, std::memory_order_acq_rel);
}

void TThread::CheckSuspended()
{
    std::unique_lock lk(m_);
    if (!suspendRequested_ || Terminated())
        return;
    paused_ = true;
    cv_.notify_all();
    cv_.wait(lk, [this] { return !suspendRequested_ || Terminated(); });
    paused_ = false;
}

int32_t TThread::WaitFor()
{
    const bool pump = ThreadHandlesMessages();
    std::unique_lock lk(m_);
    if (!started_)
        return ReturnValue();
    if (thread_.get_id() == std::this_thread::get_id())
        throw std::logic_error("TThread::WaitFor called from the thread itself");
    while (!finished_) {
        if (pump) {
            lk.unlock();
            ProcessMessages();
            lk.lock();
            cv_.wait_for(lk, std::chrono::milliseconds(2), [this] { return finished_; });
        } else {
            cv_.wait(lk, [this] { return finished_; });
        }
    }
    return ReturnValue();
}

void TThread::Run(std::shared_ptr<TThread> self)
{
    {
        // Start() assigns thread_ under this lock; the body must not end
        // (and perhaps destroy the object) before that.
        std::lock_guard lk(m_);
    }
    tCurrent = this;
    try {
        Execute();
    } catch (...) {
        // A body that throws just ends; the owner sees Finished().
    }
    tCurrent = nullptr;
    {
        std::lock_guard lk(m_);
        finished_ = true;
    }
    cv_.notify_all();
    self.reset();
}

} // namespace sp

#include "platform/system/TEvent.h"

namespace sp {

void TEvent::SetEvent()
{
    {
        std::lock_guard lk(m_);
        set_ = true;
    }
    cv_.notify_all();
}

void TEvent::ResetEvent()
{
    std::lock_guard lk(m_);
    set_ = false;
}

bool TEvent::IsSet() const
{
    std::lock_guard lk(m_);
    return set_;
}

bool TEvent::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, timeout, [this] { return set_; });
}

} // namespace sp

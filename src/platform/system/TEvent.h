#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sp {

// A manual-reset event: once set, every wait returns at once until Reset().
// Lets a waiting side keep fixed step lengths yet end a step as soon as the
// work it waits for is done.
class TEvent {
public:
    void SetEvent();
    void ResetEvent();
    [[nodiscard]] bool IsSet() const;
    // True when the event was set within the time.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

} // namespace sp

#pragma once

#include <mutex>

namespace sp {

// A recursive lock, as the platform's critical section: the owning thread
// may enter again and must leave as often as it entered.
class TCriticalSection {
public:
    TCriticalSection() = default;
    virtual ~TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }

    // Lockable, so std::lock_guard / std::scoped_lock work too.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex m_;
};

// Holds a critical section for one scope.
class TCsGuard {
public:
    explicit TCsGuard(TCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~TCsGuard() { cs_.Leave(); }
    TCsGuard(const TCsGuard&) = delete;
    TCsGuard& operator=(const TCsGuard&) = delete;

private:
    TCriticalSection& cs_;
};

} // namespace sp

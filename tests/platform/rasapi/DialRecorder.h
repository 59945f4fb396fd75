#pragma once

#include "platform/rasapi/ras.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

// Collects the state reports of type-0 notifiers (one recorder at a time:
// the notifier has no context argument, as on the platform).
class DialRecorder {
public:
    DialRecorder();
    ~DialRecorder();
    static void Notify(UINT msg, RASCONNSTATE state, DWORD error);

    // Waits until a final report (connected or an error) has arrived.
    bool WaitFinal(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<std::pair<DWORD, DWORD>> Reports();
    bool WaitCount(size_t n, std::chrono::milliseconds timeout);

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::pair<DWORD, DWORD>> reports_;
    bool final_ = false;
    static DialRecorder* current_;
};

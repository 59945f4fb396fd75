#include "DialRecorder.h"

#include <gtest/gtest.h>

DialRecorder* DialRecorder::current_ = nullptr;

namespace {
// Held while a report is delivered, so a recorder never goes away under a
// late report of the library's thread.
std::mutex g_current;
} // namespace

DialRecorder::DialRecorder()
{
    std::lock_guard lock(g_current);
    current_ = this;
}

DialRecorder::~DialRecorder()
{
    std::lock_guard lock(g_current);
    current_ = nullptr;
}

void DialRecorder::Notify(UINT msg, RASCONNSTATE state, DWORD error)
{
    EXPECT_EQ(msg, WM_RASDIALEVENT);
    std::lock_guard current(g_current);
    DialRecorder* r = current_;
    if (!r)
        return;
    std::lock_guard lock(r->m_);
    r->reports_.emplace_back(state, error);
    if (error != 0 || state == RASCS_Connected)
        r->final_ = true;
    r->cv_.notify_all();
}

bool DialRecorder::WaitFinal(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return final_; });
}

bool DialRecorder::WaitCount(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return reports_.size() >= n; });
}

std::vector<std::pair<DWORD, DWORD>> DialRecorder::Reports()
{
    std::lock_guard lock(m_);
    return reports_;
}

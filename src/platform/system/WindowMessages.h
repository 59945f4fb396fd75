#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace sp {

using HWND = uint32_t;
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr UINT WM_USER = 0x0400;

// Gives a window (any QObject-owned object) a handle and a message handler.
// The handler runs only on the thread that created the object (normally the
// main thread), which must run a Qt event loop or call ProcessMessages.
// Handles are never reused within a process, so a stale handle stays invalid.
class TMessageWindow {
public:
    using Handler = std::function<LRESULT(UINT, WPARAM, LPARAM)>;

    explicit TMessageWindow(Handler handler);
    // Must run on the creating thread. The handle becomes invalid; sends that
    // are pending or arrive later return 0 at once.
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;

    [[nodiscard]] HWND Handle() const;

    struct Impl;

private:
    std::shared_ptr<Impl> d;
};

// Synchronous: on the window's own thread the handler is called directly;
// from another thread the caller waits until the window's thread has run it
// (processing its own pending messages meanwhile, so two threads sending to
// each other cannot deadlock). 0 for an unknown or destroyed handle, also
// when the window goes away while the send is pending.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Lets the calling thread handle what is pending for it: the Qt event queue
// on a thread with an event loop (the main thread), otherwise the sends
// posted to windows this thread owns.
void ProcessMessages();

// True on the main thread and on any thread that owns a window: such a thread
// must keep processing messages while it waits for another one.
[[nodiscard]] bool ThreadHandlesMessages();

} // namespace sp

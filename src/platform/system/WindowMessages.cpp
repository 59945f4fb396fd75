#include "platform/system/WindowMessages.h"

#include "platform/system/TThread.h"

#include <QCoreApplication>
#include <QObject>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

namespace sp {

namespace {

// One pending cross-thread send. Finished exactly once: by the handler on the
// window's thread, by the window's destruction, or by Qt dropping the queued
// call unrun.
struct SendState {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    LRESULT result = 0;

    void Finish(LRESULT r)
    {
        {
            std::lock_guard lk(m);
            if (done)
                return;
            done = true;
            result = r;
        }
        cv.notify_all();
    }
};

// Travels inside the queued call; whatever happens to the call, its end
// releases the sender.
struct Completion {
    std::shared_ptr<SendState> state;
    LRESULT result = 0;
    explicit Completion(std::shared_ptr<SendState> s) : state(std::move(s)) {}
    ~Completion() { state->Finish(result); }
    Completion(const Completion&) = delete;
    Completion& operator=(const Completion&) = delete;
};

thread_local int tlsOwnedWindows = 0;

bool OnMainThread()
{
    return ::syscall(SYS_gettid) == ::getpid();
}

} // namespace

struct TMessageWindow::Impl {
    HWND handle = 0;
    Handler handler;
    std::thread::id owner;
    std::unique_ptr<QObject> receiver;
    bool alive = true; // owner thread only
    int depth = 0;     // owner thread only: handler calls in progress
    std::vector<std::weak_ptr<SendState>> pending; // under gMutex
};

namespace {

std::mutex gMutex;
std::unordered_map<HWND, std::shared_ptr<TMessageWindow::Impl>> gWindows;
HWND gNextHandle = 0x10000;

std::shared_ptr<TMessageWindow::Impl> FindWindow(HWND wnd)
{
    std::lock_guard lk(gMutex);
    const auto it = gWindows.find(wnd);
    return it == gWindows.end() ? nullptr : it->second;
}

LRESULT CallHandler(TMessageWindow::Impl& w, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (!w.alive || !w.handler)
        return 0;
    ++w.depth;
    LRESULT r = 0;
    try {
        r = w.handler(msg, wParam, lParam);
    } catch (...) {
        // A handler's failure must not unwind through the event loop; the
        // sender sees 0.
        r = 0;
    }
    --w.depth;
    return r;
}

} // namespace

TMessageWindow::TMessageWindow(Handler handler) : d(std::make_shared<Impl>())
{
    d->handler = std::move(handler);
    d->owner = std::this_thread::get_id();
    d->receiver = std::make_unique<QObject>();
    ++tlsOwnedWindows;
    std::lock_guard lk(gMutex);
    d->handle = gNextHandle++;
    gWindows.emplace(d->handle, d);
}

TMessageWindow::~TMessageWindow()
{
    std::vector<std::weak_ptr<SendState>> pending;
    {
        std::lock_guard lk(gMutex);
        gWindows.erase(d->handle);
        pending.swap(d->pending);
    }
    d->alive = false;
    for (auto& p : pending)
        if (auto s = p.lock())
            s->Finish(0);
    --tlsOwnedWindows;
    if (d->depth > 0) {
        // Destroyed from inside its own handler: Qt is still delivering to the
        // receiver, so it goes when that delivery is over.
        d->receiver.release()->deleteLater();
    } else {
        d->receiver.reset(); // drops queued calls, which release their senders
    }
    d->handler = nullptr;
}

HWND TMessageWindow::Handle() const
{
    return d->handle;
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto w = FindWindow(wnd);
    if (!w)
        return 0;
    if (w->owner == std::this_thread::get_id())
        return CallHandler(*w, msg, wParam, lParam);

    auto state = std::make_shared<SendState>();
    {
        auto completion = std::make_shared<Completion>(state);
        std::lock_guard lk(gMutex);
        // Posting under the lock: the window cannot be torn down between the
        // check and the post, and its destruction finishes what is pending.
        if (!gWindows.count(wnd))
            return 0;
        w->pending.erase(std::remove_if(w->pending.begin(), w->pending.end(),
                                        [](const std::weak_ptr<SendState>& p) { return p.expired(); }),
                         w->pending.end());
        w->pending.push_back(state);
        QMetaObject::invokeMethod(
            w->receiver.get(),
            [w, completion, msg, wParam, lParam] { completion->result = CallHandler(*w, msg, wParam, lParam); },
            Qt::QueuedConnection);
    }

    const bool pump = ThreadHandlesMessages();
    const TSendWait waiting;
    std::unique_lock lk(state->m);
    while (!state->done) {
        if (pump) {
            lk.unlock();
            ProcessMessages();
            lk.lock();
            state->cv.wait_for(lk, std::chrono::milliseconds(2), [&] { return state->done; });
        } else {
            state->cv.wait(lk, [&] { return state->done; });
        }
    }
    return state->result;
}

bool ThreadHandlesMessages()
{
    return tlsOwnedWindows > 0 || OnMainThread();
}

void ProcessMessages()
{
    if (!QCoreApplication::instance())
        return;
    if (OnMainThread())
        QCoreApplication::processEvents();
    else if (tlsOwnedWindows > 0)
        QCoreApplication::sendPostedEvents();
}

} // namespace sp

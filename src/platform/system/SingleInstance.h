#pragma once

#include "platform/system/WindowMessages.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>

namespace sp {

// A named lock of the machine root (<root>/run/<name>.lock), held by the
// process that created it first until it exits; the system lets go of it
// when the process ends, however it ends.
class TNamedMutex {
public:
    // Created not owned; AlreadyExists() tells whether another process of
    // the machine root holds the name.
    explicit TNamedMutex(std::string_view name);
    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;

    // False when the lock file could not even be opened (the caller takes
    // that as another instance, as with a null mutex handle).
    [[nodiscard]] bool Valid() const { return fd_ >= 0; }
    [[nodiscard]] bool AlreadyExists() const { return alreadyExists_; }

private:
    int fd_ = -1;
    bool alreadyExists_ = false;
};

// What a running instance offers to a second start: it is found by its
// window class and title, and it can be shown, brought to the foreground and
// sent a message synchronously. The running side listens on a local socket
// named after the machine root, class and title, from the moment it holds
// the instance lock (when another user holds that abstract name, on a socket
// file in a folder only this user can enter, under $XDG_RUNTIME_DIR); requests
// are read and handled on the main thread's event loop without ever waiting
// for a peer, and those that arrive before the window exists are held and
// answered once SetHandlers() is called.
class TTopLevelWindow {
public:
    struct Handlers {
        std::function<void()> showNormal;
        std::function<void()> setForeground;
        TMessageWindow::Handler message;
    };
    // Listens at once; requests other than a look-up wait for SetHandlers().
    TTopLevelWindow(std::string_view className, std::string_view title);
    TTopLevelWindow(std::string_view className, std::string_view title, Handlers handlers);
    ~TTopLevelWindow();
    TTopLevelWindow(const TTopLevelWindow&) = delete;
    TTopLevelWindow& operator=(const TTopLevelWindow&) = delete;

    // The window exists: held requests are answered (from the event loop, in
    // the order they came), later ones as they come. Empty handlers hold
    // requests again (the window is going away).
    void SetHandlers(Handlers handlers);

    // False when the socket could not be set up (no second start finds us).
    [[nodiscard]] bool Listening() const;

    // How long a peer may take to send its request before it is dropped.
    static void SetRequestTimeoutForTests(int ms);

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// The second start's side. Empty when no instance of that class and title
// answers on this machine root.
class TRemoteWindow {
public:
    // waitMs: how long to keep looking for an instance that holds the lock
    // but may not listen yet (it is only just starting).
    [[nodiscard]] static std::unique_ptr<TRemoteWindow> Find(std::string_view className, std::string_view title,
                                                             int waitMs = 0);
    explicit TRemoteWindow(std::string name) : name_(std::move(name)) {}
    ~TRemoteWindow();
    TRemoteWindow(const TRemoteWindow&) = delete;
    TRemoteWindow& operator=(const TRemoteWindow&) = delete;

    bool ShowNormal();
    bool SetForeground();
    // Synchronous: returns when the running instance has handled it.
    LRESULT SendMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    bool Request(const std::string& line, std::string& reply);
    bool Request(const sockaddr_un& addr, socklen_t len, const std::string& line, std::string& reply);
    std::string name_;
};

// The name of the local socket where the instance of a class and title
// listens on this machine root (for tests and tools): an abstract socket, so
// its length does not grow with the root's path and nothing is left behind
// by an instance that dies.
[[nodiscard]] std::string InstanceSocketName(std::string_view className, std::string_view title);

} // namespace sp

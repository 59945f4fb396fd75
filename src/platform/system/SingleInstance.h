#pragma once

#include "platform/system/WindowMessages.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

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
// of the machine root named after class and title; requests are handled on
// the main thread's event loop.
class TTopLevelWindow {
public:
    struct Handlers {
        std::function<void()> showNormal;
        std::function<void()> setForeground;
        TMessageWindow::Handler message;
    };
    TTopLevelWindow(std::string_view className, std::string_view title, Handlers handlers);
    ~TTopLevelWindow();
    TTopLevelWindow(const TTopLevelWindow&) = delete;
    TTopLevelWindow& operator=(const TTopLevelWindow&) = delete;

    // False when the socket could not be set up (no second start finds us).
    [[nodiscard]] bool Listening() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// The second start's side. Empty when no instance of that class and title
// answers on this machine root.
class TRemoteWindow {
public:
    [[nodiscard]] static std::unique_ptr<TRemoteWindow> Find(std::string_view className, std::string_view title);
    explicit TRemoteWindow(std::string path) : path_(std::move(path)) {}
    ~TRemoteWindow();
    TRemoteWindow(const TRemoteWindow&) = delete;
    TRemoteWindow& operator=(const TRemoteWindow&) = delete;

    bool ShowNormal();
    bool SetForeground();
    // Synchronous: returns when the running instance has handled it.
    LRESULT SendMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    bool Request(const std::string& line, std::string& reply);
    std::string path_;
};

// Where the instance of a class and title listens (for tests and tools).
[[nodiscard]] std::string InstanceSocketPath(std::string_view className, std::string_view title);

} // namespace sp

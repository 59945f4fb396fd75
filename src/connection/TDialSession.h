#pragma once

#include "connection/TDialState.h"
#include "platform/rasapi/ras.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

class IConnectionQuestion;
class IDialObserver;
class TDialThread;
class TNamedMutex;

// One dial on behalf of a front end (the progress window, a console): the
// dial thread with its state, registered for the notifier while it runs.
// The front end creates it, starts it, waits, then reads the outcome; the
// destructor waits for the thread and for a notifier still inside, so the
// observer and the question may go after it. Used on one thread.
class TDialSession {
public:
    // `apns` is the caller's list, which a successful dial reorders; it and
    // the observer and question (either may be nullptr) outlive the session.
    TDialSession(std::string_view modem, const std::string& entryName, std::vector<std::string>& apns,
                 IDialObserver* observer, IConnectionQuestion* question);
    ~TDialSession();
    TDialSession(const TDialSession&) = delete;
    TDialSession& operator=(const TDialSession&) = delete;

    // False when another process of the machine root dials at this moment
    // (the program or another console); the session dials all the same when
    // started, so a front end that must not fight asks first. The machine's
    // dial is held from construction to Finish.
    [[nodiscard]] bool OnlyDialOfTheMachine() const;

    void Start();
    // Until the dial thread has ended. On the thread of the process's
    // application it keeps handling its messages, so the thread's sends to
    // windows are answered at once; elsewhere it just waits.
    void Wait();
    [[nodiscard]] bool Ended() const;
    // After Wait: the last report has been shown. The return value of the
    // dial: the connection's handle, 0 for none.
    [[nodiscard]] HRASCONN Finish();

    // The dial's state; the cancel request may be set from any thread.
    [[nodiscard]] TDialState& State();
    void Cancel();
    // Outcome: the entry used (created, replaced or taken over) and the
    // handle of the connection made or adopted.
    [[nodiscard]] std::string EntryName() const;
    [[nodiscard]] HRASCONN Handle() const;

private:
    std::shared_ptr<TDialThread> FThread;
    std::unique_ptr<TNamedMutex> FMachineDial;
    bool FStarted = false;
};

} // namespace sp

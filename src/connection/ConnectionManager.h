#pragma once

#include "platform/rasapi/ras.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QString;
class QWidget;

namespace sp {

class TfrmProgress;

// What the connection manager needs of the main window besides its handle
// (MainWindowHandle(), which receives WM_CONNECTED): the APN update state it
// keeps. Called on the main thread only.
class IConnectionHost {
public:
    virtual ~IConnectionHost() = default;
    [[nodiscard]] virtual bool APNUpdated() const = 0; // an APN update succeeded in this run
    virtual void SetAPNUpdated(bool value) = 0;
    [[nodiscard]] virtual std::string GetAPNVersionString() const = 0;
    virtual void SetAPNVersion(const std::string& version) = 0;
    // The window the progress window is centred on; may be null.
    [[nodiscard]] virtual QWidget* ProgressOwner() const = 0;
};

// The main window registers itself at creation and nullptr when it goes.
// Without a host no APN update runs.
void SetConnectionHost(IConnectionHost* host);
[[nodiscard]] IConnectionHost* ConnectionHost();

// Dials `modem` on the main thread's behalf: shows the progress window, runs
// the dial sequence on its own thread while the caller keeps handling
// messages, and after a failure shows the outcome modally. `entryName` is
// rewritten when another entry was used; `apns` is the caller's list, which a
// successful dial reorders. Returns the connection's handle, 0 for none.
[[nodiscard]] HRASCONN OpenConnection(std::string_view modem, std::string& entryName,
                                      std::vector<std::string>& apns);

// Hangs up; true when the line is down or there was nothing to do.
bool CloseConnection(HRASCONN hConn);

// The progress window while a dial is shown, else nullptr (the main window
// keeps it above itself).
[[nodiscard]] TfrmProgress* ProgressForm();

// Tests: runs instead of the modal display of a failed dial, with the window
// in its result mode (status set, details button shown or not). Empty: modal.
using TProgressFailureHook = std::function<void(TfrmProgress& form)>;
void SetProgressFailureHook(TProgressFailureHook hook);

// One round of the dial and statistics waits, 500 ms. The statistics thread
// sleeps 4 rounds between polls and a refused dial call is repeated after 10
// rounds. Tests shorten it; the counts never change.
void SetConnectionRoundLength(std::chrono::milliseconds round);
[[nodiscard]] std::chrono::milliseconds ConnectionRoundLength();

} // namespace sp

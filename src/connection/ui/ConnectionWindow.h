#pragma once

#include "connection/ConnectionManager.h"
#include "platform/rasapi/ras.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace sp {

class IConnectionQuestion;
class TfrmProgress;

// What the window's connection manager needs of the main window besides its
// handle (MainWindowHandle(), which receives WM_CONNECTED): the APN update
// state it keeps, and the window the progress window is centred on. Called
// on the main thread only.
class IConnectionHost : public IApnUpdateHost {
public:
    // May be null.
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

// The progress window while a dial is shown, else nullptr (the main window
// keeps it above itself).
[[nodiscard]] TfrmProgress* ProgressForm();

// Tests: runs instead of the modal display of a failed dial, with the window
// in its result mode (status set, details button shown or not). Empty: modal.
using TProgressFailureHook = std::function<void(TfrmProgress& form)>;
void SetProgressFailureHook(TProgressFailureHook hook);

// The program's answer to a dial's question: the toolkit's standard message
// box of error type with Yes and No, shown on the main thread.
[[nodiscard]] IConnectionQuestion& MessageBoxQuestion();

} // namespace sp

#pragma once

#include <functional>
#include <string>

namespace sp {

// The one question of a dial: a link on the modem was made with another APN;
// may it be hung up? A front end answers it (the program with a message box,
// a console by its options). True for Yes.
class IConnectionQuestion {
public:
    virtual ~IConnectionQuestion() = default;
    [[nodiscard]] virtual bool AskYesNo(const std::string& text) = 0;
};

// Asks `question`; without one there is nobody to ask and the answer is No
// (the link is kept as it is).
[[nodiscard]] bool AskYesNoError(const std::string& text, IConnectionQuestion* question = nullptr);

// Runs `ask` on the main thread when the process has an application and the
// caller is another thread (the caller waits for the answer through the
// window-message layer); otherwise here.
[[nodiscard]] bool AskOnMainThread(const std::function<bool()>& ask);

// Tests answer instead of a person: the hook runs where the question would
// have been asked (on the main thread when there is an application) and
// returns the answer. Empty: ask.
using TQuestionHook = std::function<bool(const std::string& text)>;
void SetQuestionHook(TQuestionHook hook);

} // namespace sp

#pragma once

#include <functional>
#include <string>

namespace sp {

// Asks a yes/no question with the toolkit's standard modal message box of
// error type, always on the main thread: a caller on another thread waits
// for the answer through the window-message layer. True for Yes.
[[nodiscard]] bool AskYesNoError(const std::string& text);

// Tests answer instead of a person: the hook runs where the box would have
// been shown (on the main thread) and returns the answer. Empty: show it.
using TQuestionHook = std::function<bool(const std::string& text)>;
void SetQuestionHook(TQuestionHook hook);

} // namespace sp

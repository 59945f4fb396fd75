#pragma once

#include <string>

namespace sp {

// Whoever shows a dial: the progress window, a console. The dial thread and
// the dial notifier call it, one report at a time and in the order the
// dial's budget moved, and go on only when the call has returned, so each
// report is shown before the next text replaces it. `text` is the dial's
// progress text at that moment (UTF-8), `budget` the budget's position after
// the report.
class IDialObserver {
public:
    virtual ~IDialObserver() = default;
    // A state, an error or a half-second of waiting: the budget one step on.
    virtual void DialProgress(const std::string& text, int budget) = 0;
    // A link already up on the modem was taken over; no dial follows.
    virtual void DialAdopted(const std::string& text, int budget) = 0;
    // A retryable failure: the next number or APN is tried.
    virtual void DialAttempt(const std::string& text, int budget) = 0;
};

} // namespace sp

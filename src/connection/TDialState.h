#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace sp {

// What one dial knows of its own course, shared by the dial thread, the
// dial notifier and whoever shows the dial: the RAS error of the attempt and
// its description, the cancel request, and the time budget. Every accessor
// takes the state's own lock for its one value and may be called from any
// thread.
//
// The budget counts as the progress window's bar does: 0 to 600 in steps of
// 10, one step per report, starting again from 0 past 600; an adopted link
// stands at 590, a new attempt at 10. A wait without reports ends at 590,
// which is what the bar showed when the window held it.
class TDialState {
public:
    static constexpr int kBudgetMax = 600;
    static constexpr int kBudgetStep = 10;

    [[nodiscard]] int32_t GetErrorCode() const;
    void SetErrorCode(int32_t code);
    [[nodiscard]] std::string GetDetails() const;
    void SetDetails(const std::string& text);
    [[nodiscard]] bool GetCancelled() const;
    void SetCancelled(bool flag);

    [[nodiscard]] int BudgetPosition() const;
    // One report: a step on; past the maximum it starts again from 0.
    int StepBudget();
    // An adopted link: almost full.
    int AdoptedBudget();
    // A new attempt: at one step.
    int AttemptBudget();
    // The budget of a wait is spent (position at or past maximum - step).
    [[nodiscard]] bool BudgetSpent() const;

    // A fresh dial: no error, no details, no cancel, budget at 0.
    void Reset();

private:
    mutable std::mutex FLock;
    int32_t FErrorCode = 0;
    std::string FDetails;
    bool FCancelled = false;
    int FPosition = 0;
};

} // namespace sp

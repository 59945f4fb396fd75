#include "connection/TDialState.h"

namespace sp {

int32_t TDialState::GetErrorCode() const
{
    std::lock_guard lk(FLock);
    return FErrorCode;
}

void TDialState::SetErrorCode(int32_t code)
{
    std::lock_guard lk(FLock);
    FErrorCode = code;
}

std::string TDialState::GetDetails() const
{
    std::lock_guard lk(FLock);
    return FDetails;
}

void TDialState::SetDetails(const std::string& text)
{
    std::lock_guard lk(FLock);
    FDetails = text;
}

bool TDialState::GetCancelled() const
{
    std::lock_guard lk(FLock);
    return FCancelled;
}

void TDialState::SetCancelled(bool flag)
{
    std::lock_guard lk(FLock);
    FCancelled = flag;
}

int TDialState::BudgetPosition() const
{
    std::lock_guard lk(FLock);
    return FPosition;
}

int TDialState::StepBudget()
{
    std::lock_guard lk(FLock);
    FPosition += kBudgetStep;
    if (FPosition > kBudgetMax)
        FPosition %= kBudgetMax;
    return FPosition;
}

int TDialState::AdoptedBudget()
{
    std::lock_guard lk(FLock);
    FPosition = kBudgetMax - kBudgetStep;
    return FPosition;
}

int TDialState::AttemptBudget()
{
    std::lock_guard lk(FLock);
    FPosition = kBudgetStep;
    return FPosition;
}

bool TDialState::BudgetSpent() const
{
    std::lock_guard lk(FLock);
    return FPosition >= kBudgetMax - kBudgetStep;
}

void TDialState::Reset()
{
    std::lock_guard lk(FLock);
    FErrorCode = 0;
    FDetails.clear();
    FCancelled = false;
    FPosition = 0;
}

} // namespace sp

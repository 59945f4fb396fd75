#include "connection/TDialThread.h"

#include "connection/ConnectionManager.h"
#include "connection/IDialObserver.h"
#include "connection/MainWindowMessages.h"
#include "connection/PhonebookEntries.h"
#include "log/EventLog.h"
#include "platform/base/Cp1251.h"
#include "platform/system/WindowMessages.h"
#include "ras/Modems.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"
#include "ras/TrafficCounters.h"
#include "update/Apn.h"

#include <QCoreApplication>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>

namespace sp {

namespace {

std::mutex gDialMutex;
std::condition_variable gDialIdle;
std::shared_ptr<TDialThread> gDial; // under gDialMutex
int gInFlight = 0;                  // notifiers inside DialCallback, under gDialMutex

std::shared_ptr<TDialThread> AcquireDial()
{
    std::lock_guard lk(gDialMutex);
    if (gDial)
        ++gInFlight;
    return gDial;
}

void ReleaseDial()
{
    {
        std::lock_guard lk(gDialMutex);
        --gInFlight;
    }
    gDialIdle.notify_all();
}

std::string FieldText(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

template <size_t N>
void SetField(char (&field)[N], std::string_view text8bit)
{
    std::memset(field, 0, N);
    std::memcpy(field, text8bit.data(), std::min(text8bit.size(), N - 1));
}

// Blanks and control characters off both ends.
std::string TrimApn(const std::string& text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 0x20)
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 0x20)
        --last;
    return text.substr(first, last - first);
}

std::string InitStringFor(const std::string& apn)
{
    return "AT+CGDCONT=1,\"IP\",\"" + apn + "\"";
}

template <class P>
DWORD StoreEntry(TRasEntryRecord& record, const std::string& entryName8)
{
    return P::RasSetEntryPropertiesA(nullptr, entryName8.c_str(), record.As<typename P::RASENTRY>(), record.Size(),
                                     nullptr, 0);
}

DWORD StoreEntryOfFamily(TRasEntryRecord& record, const std::string& entryName8)
{
    switch (WinVersion) {
    case 410: return StoreEntry<Ras98>(record, entryName8);
    case 490: return StoreEntry<RasME>(record, entryName8);
    case 501: return StoreEntry<RasXP>(record, entryName8);
    default: return StoreEntry<Ras2k>(record, entryName8);
    }
}

} // namespace

bool IsRetryableDialError(int32_t code)
{
    return std::find(std::begin(RetryableDialErrors), std::end(RetryableDialErrors), static_cast<DWORD>(code))
           != std::end(RetryableDialErrors);
}

void RegisterDial(std::shared_ptr<TDialThread> thread)
{
    std::lock_guard lk(gDialMutex);
    gDial = std::move(thread);
}

void DrainNotifier()
{
    std::unique_lock lk(gDialMutex);
    while (gInFlight > 0) {
        lk.unlock();
        ProcessMessages();
        lk.lock();
        gDialIdle.wait_for(lk, std::chrono::milliseconds(2), [] { return gInFlight == 0; });
    }
}

void ClearDial()
{
    {
        std::lock_guard lk(gDialMutex);
        gDial.reset();
    }
    DrainNotifier();
}

void WaitNotifierIdle()
{
    std::unique_lock lk(gDialMutex);
    gDialIdle.wait(lk, [] { return gInFlight == 0; });
}

std::string TDialThread::ProgressText() const
{
    std::lock_guard lk(textMutex_);
    return progressText_;
}

void TDialThread::SetProgressText(std::string text)
{
    std::lock_guard lk(textMutex_);
    progressText_ = std::move(text);
}

void TDialThread::NotifyProgress()
{
    std::lock_guard lk(reportMutex_);
    const int budget = State.StepBudget();
    if (Observer != nullptr)
        Observer->DialProgress(ProgressText(), budget);
}

void TDialThread::Report(std::string text)
{
    std::lock_guard lk(reportMutex_);
    SetProgressText(std::move(text));
    const int budget = State.StepBudget();
    if (Observer != nullptr)
        Observer->DialProgress(ProgressText(), budget);
}

void TDialThread::NotifyAdopted()
{
    std::lock_guard lk(reportMutex_);
    const int budget = State.AdoptedBudget();
    if (Observer != nullptr)
        Observer->DialAdopted(ProgressText(), budget);
}

void TDialThread::NotifyAttempt()
{
    std::lock_guard lk(reportMutex_);
    const int budget = State.AttemptBudget();
    if (Observer != nullptr)
        Observer->DialAttempt(ProgressText(), budget);
}

void TDialThread::DialCallback(UINT, RASCONNSTATE state, DWORD error)
{
    const std::shared_ptr<TDialThread> dial = AcquireDial();
    if (!dial)
        return;
    struct Leave {
        ~Leave() { ReleaseDial(); }
    } leave;
    TDialThread& t = *dial;
    try {
        if (error != 0) {
            t.State.SetErrorCode(static_cast<int32_t>(error));
            t.State.SetDetails(GetRasErrorDescr(static_cast<int32_t>(error)));
            // Shown before the dial thread is woken, so its next text does
            // not replace this one unseen.
            t.Report("Ошибка связи, код: " + std::to_string(error));
            t.Wake();
            return;
        }
        if (const auto text = ConnStateText(state)) {
            t.Report(std::string(*text));
        } else {
            if (state == RASCS_SubEntryConnected || state == RASCS_Connected) {
                t.DialState.store(1, std::memory_order_relaxed);
                t.DialDone.store(true, std::memory_order_release);
            } else if (state == RASCS_SubEntryDisconnected || state == RASCS_Disconnected) {
                t.DialDone.store(true, std::memory_order_release);
            }
            t.NotifyProgress();
        }
        t.Wake();
    } catch (const std::exception& e) {
        // The library's thread must not unwind.
        WriteLog("DialCallback", 888, e.what());
    }
}

bool TDialThread::WaitMustEnd() const
{
    if (DialDone.load(std::memory_order_acquire) || Terminated())
        return true;
    return State.BudgetSpent() || State.GetCancelled() || State.GetErrorCode() != 0;
}

bool TDialThread::SleepRound()
{
    const auto end = std::chrono::steady_clock::now() + ConnectionRoundLength();
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        if (wake_.WaitFor(left)) {
            wake_.ResetEvent();
            // A report that ends the wait ends it now; any other keeps the
            // round, so the bar's time budget stays what it is.
            if (WaitMustEnd())
                return false;
        }
    }
}

void TDialThread::Execute()
{
    struct Finish {
        TDialThread& t;
        ~Finish()
        {
            t.terminatedFlag_.store(true, std::memory_order_release);
            t.terminatedEvent_.SetEvent();
            // Wakes a main thread that waits in its event loop.
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
        }
    } finish{*this};
    try {
        Body();
    } catch (const std::exception& e) {
        // Ends the sequence; it counts as failed unless a handle was stored.
        WriteLog("TDialThread", 888, e.what());
    }
}

void TDialThread::Body()
{
    uint32_t recv = 0;
    uint32_t xmit = 0;
    const HWND main = MainWindowHandle();

    const HRASCONN active = CheckAlreadyConnected(ModemName, EntryName, *APNList, Question);
    hConn.store(active);
    if (active != 0) {
        (void)GetStatistics(recv, xmit, active);
        SendMessage(main, WM_BASE_COUNTERS, recv, static_cast<LPARAM>(xmit));
        NotifyAdopted();
        SetReturnValue(static_cast<int32_t>(active));
        return;
    }
    if (WinVersion < 500)
        (void)GetStatistics(recv, xmit, 0);
    SendMessage(main, WM_BASE_COUNTERS, recv, static_cast<LPARAM>(xmit));

    Report("Выбор и настройка соединения...");

    switch (WinVersion) {
    case 410: Dial<Ras98, RASDIALPARAMS_1052>(); break;
    case 490: Dial<RasME, RASDIALPARAMS_1060>(); break;
    default: Dial<Ras2k, RASDIALPARAMS_1060>(); break;
    }
}

template <class R, class DialParams>
void TDialThread::Dial()
{
    TRasEntryPtr record = CheckConnName(ModemName, EntryName);
    if (!record)
        return;
    DialParams params{};
    const std::string entry8 = Utf8ToCp1251(EntryName);
    const std::string dialUser(DialUserName);
    SetField(params.szEntryName, entry8);
    SetField(params.szUserName, dialUser);
    SetField(params.szPassword, dialUser);
    const std::string entryNumber =
        FieldText(record->Base().szLocalPhoneNumber, sizeof record->Base().szLocalPhoneNumber);

    hConn.store(0);
    NotifyProgress();
    const std::string savedInit = GetModemInitString(ModemName);

    std::vector<std::string>& apns = *APNList;
    // A list longer than any the update accepts (a value edited by hand) is
    // tried no further than that: each APN can cost a minute of dialling.
    if (apns.size() > kMaxApnCount)
        WriteLog("DIAL-params", 0,
                 "APN list of " + std::to_string(apns.size()) + ", only the first " + std::to_string(kMaxApnCount)
                     + " are tried");
    for (size_t i = 0; i < std::min(apns.size(), kMaxApnCount); ++i) {
        const std::string apn = TrimApn(apns[i]);
        // Whatever the list holds (a list stored by an older version, a value
        // edited by hand), only an APN goes into the modem's init string:
        // anything else could close its quotes and add commands of its own.
        // It is passed over as an APN that failed with a retryable code.
        if (!IsApn(apn)) {
            WriteLog("DIAL-params", 0, "APN skipped, not an access point name: " + apns[i]);
            continue;
        }
        Report("Настройка модема...");
        SetModemInitString(ModemName, InitStringFor(apn));
        bool restored = false;

        for (int j = -1; j <= 1; ++j) {
            std::memset(params.szPhoneNumber, 0, sizeof params.szPhoneNumber);
            if (j < 0) {
                SetField(params.szPhoneNumber, entryNumber);
            } else {
                if (PhoneNumbers[static_cast<size_t>(j)] == entryNumber)
                    continue;
                SetField(params.szPhoneNumber, PhoneNumbers[static_cast<size_t>(j)]);
            }
            // A failed attempt put the saved string back; the next number
            // must still ask for this APN.
            if (restored)
                SetModemInitString(ModemName, InitStringFor(apn));
            restored = false;
            const std::string phone = FieldText(params.szPhoneNumber, sizeof params.szPhoneNumber);
            char line[2048];
            std::snprintf(line, sizeof line, "Entry: %s ; Phone: %s  ; APN: %s  User: %s  ; Pswd: %s  ",
                          EntryName.c_str(), Cp1251ToUtf8(phone).c_str(), apns[i].c_str(), dialUser.c_str(),
                          dialUser.c_str());
            WriteLog("DIAL-params", 0, line);
            params.dwSize = sizeof params;

            Report("Настройка соединения...");
            hConn.store(0);

            DWORD result = 0;
            for (int call = 0; call < 2; ++call) {
                // Reports of an earlier attempt are over before this one's
                // state is reset, and the reset comes before the call, so a
                // report that arrives before the call returns is kept.
                WaitNotifierIdle();
                DialDone.store(false);
                DialState.store(7);
                wake_.ResetEvent();
                State.SetErrorCode(0);
                State.SetDetails({});
                HRASCONN h = 0;
                result = R::RasDialA(nullptr, nullptr, reinterpret_cast<typename R::RASDIALPARAMS*>(&params), 0,
                                     reinterpret_cast<LPVOID>(&TDialThread::DialCallback), &h);
                hConn.store(h);
                if (result == 0)
                    break;
                LogRasError("Dial", static_cast<int32_t>(result));
                Report("Ошибка связи, код: " + std::to_string(result));
                if (hConn.load() != 0) {
                    (void)Ras2k::HangUpAndWait(hConn.load());
                    hConn.store(0);
                }
                if (call == 0) {
                    const auto pause = ConnectionRoundLength() * 10;
                    const auto end = std::chrono::steady_clock::now() + pause;
                    while (!Terminated() && std::chrono::steady_clock::now() < end)
                        (void)wake_.WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now()));
                }
            }
            if (result != 0) {
                State.SetErrorCode(static_cast<int32_t>(result));
                State.SetDetails(GetRasErrorDescr(static_cast<int32_t>(result)));
            }

            while (!DialDone.load(std::memory_order_acquire)) {
                if (WaitMustEnd())
                    break;
                if (SleepRound())
                    NotifyProgress();
            }
            // A report still being shown is seen before the sequence moves on.
            WaitNotifierIdle();
            // Judged where the wait ended: the hang-up below steps the budget again.
            const bool silent = State.BudgetSpent() && DialState.load() == 7 && State.GetErrorCode() == 0;

            if (DialState.load() == 1) {
                if (i > 0) {
                    apns.erase(apns.begin() + static_cast<std::ptrdiff_t>(i));
                    apns.insert(apns.begin(), apn);
                }
                SetReturnValue(static_cast<int32_t>(hConn.load()));
                if (phone != entryNumber) {
                    SetField(record->Base().szLocalPhoneNumber, phone);
                    const DWORD code = StoreEntryOfFamily(*record, entry8);
                    LogRasError("Execute-SetConnProperties", static_cast<int32_t>(code));
                }
                return;
            }

            SetModemInitString(ModemName, savedInit);
            restored = true;
            const int32_t error = State.GetErrorCode();
            LogRasError("Dialing error code", error);
            if (hConn.load() != 0) {
                Report("Ошибка.Закрытие соединения...");
                const DWORD code = Ras2k::HangUpAndWait(hConn.load());
                LogRasError("HangUp", static_cast<int32_t>(code));
                hConn.store(0);
            }
            if (silent) {
                Report("Модем не отвечает");
                return;
            }
            if (error != 0)
                State.SetDetails(GetRasErrorDescr(error));
            DialState.store(IsRetryableDialError(error) ? 7 : 2);
            if (State.GetCancelled() || DialState.load() == 2)
                return;
            NotifyProgress();
            NotifyAttempt();
        }
    }
}

} // namespace sp

#include "connection/ConnectionManager.h"

#include "connection/MainWindowMessages.h"
#include "connection/TDialThread.h"
#include "dialogs/TfrmProgress.h"
#include "log/EventLog.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "update/ApnUpdate.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QProgressBar>
#include <QPushButton>

#include <atomic>
#include <exception>

namespace sp {

namespace {

IConnectionHost* gHost = nullptr; // main thread only
std::atomic<int64_t> gRoundMs{500};
TProgressFailureHook gFailureHook;
// The progress window between dials; OpenConnection reuses it when a dial
// left it behind. Main thread only.
std::unique_ptr<TfrmProgress> gProgress;
bool gDialling = false; // an OpenConnection runs; main thread only

// Handles the main thread's messages until the dial thread has set its
// terminated flag. The wait sleeps in the event loop, so each synchronous
// notification of the dial thread is answered the moment it is posted; the
// thread's end posts an event too, and a timer of one round tests the flag at
// least that often whatever happens.
void WaitForDial(TDialThread& thread)
{
    if (QCoreApplication::instance() == nullptr) {
        while (!thread.TerminatedFlag())
            (void)thread.TerminatedEvent().WaitFor(ConnectionRoundLength());
        return;
    }
    QTimer round;
    round.start(ConnectionRoundLength());
    while (!thread.TerminatedFlag())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

QString FailureText(int32_t code)
{
    if (code == 0)
        return QStringLiteral("Ошибка при соединении.");
    if (code == static_cast<int32_t>(ERROR_PPP_LCP_TERMINATED))
        return QStringLiteral("Ошибка. Услуга недоступна");
    return QStringLiteral("Ошибка при соединении. Код ") + QString::number(code);
}

void RunApnUpdate(TfrmProgress& form, std::vector<std::string>& apns)
{
    IConnectionHost* host = gHost;
    if (host == nullptr || host->APNUpdated())
        return;
    // The "А" of "АPN" is Cyrillic, as the program has always shown it.
    form.lblProgress()->setText(QStringLiteral("Обновление конфигурации АPN..."));
    ProcessMessages();
    std::string version = host->GetAPNVersionString();
    std::string message;
    if (UpdateAPNList(version, apns, message, false)) {
        host->SetAPNUpdated(true);
        host->SetAPNVersion(version);
    } else {
        WriteLog("GetAPNList", 0, message);
    }
}

} // namespace

void SetConnectionHost(IConnectionHost* host)
{
    gHost = host;
}

IConnectionHost* ConnectionHost()
{
    return gHost;
}

TfrmProgress* ProgressForm()
{
    return gProgress.get();
}

void SetProgressFailureHook(TProgressFailureHook hook)
{
    gFailureHook = std::move(hook);
}

void SetConnectionRoundLength(std::chrono::milliseconds round)
{
    gRoundMs.store(round.count());
}

std::chrono::milliseconds ConnectionRoundLength()
{
    return std::chrono::milliseconds(gRoundMs.load());
}

HRASCONN OpenConnection(std::string_view modem, std::string& entryName, std::vector<std::string>& apns)
{
    // The wait below handles messages, and a handler may ask for a dial: the
    // one under way owns the progress window and the dial's state, so no
    // second one starts inside it.
    if (gDialling)
        return 0;
    gDialling = true;
    HRASCONN result = 0;
    std::shared_ptr<TDialThread> thread;
    // Step 8 runs on every way out, exceptions included.
    struct Cleanup {
        std::shared_ptr<TDialThread>& thread;
        ~Cleanup()
        {
            if (thread)
                thread->WaitFor();
            ClearDial();
            thread.reset();
            gProgress.reset();
            gDialling = false;
        }
    } cleanup{thread};
    try {
        if (!gProgress) {
            QWidget* owner = gHost != nullptr ? gHost->ProgressOwner() : nullptr;
            gProgress = std::make_unique<TfrmProgress>(owner);
        }
        TfrmProgress& form = *gProgress;
        form.PrepareForDial();
        form.show();
        ProcessMessages();

        thread = TThread::Create<TDialThread>();
        thread->ModemName = std::string(modem);
        thread->EntryName = entryName;
        thread->APNList = &apns;
        thread->Progress = &form;
        form.SetDialProgress(thread.get());
        RegisterDial(thread, &form);
        thread->Start();

        WaitForDial(*thread);
        // The last report is shown before the outcome replaces it.
        DrainNotifier();

        result = static_cast<HRASCONN>(thread->ReturnValue());
        entryName = thread->EntryName;

        const HRASCONN h = thread->hConn.load();
        if (h != 0) {
            SendMessage(MainWindowHandle(), WM_CONNECTED, h, 0);
            RunApnUpdate(form, apns);
        } else {
            form.hide();
            form.bar()->hide();
            const int32_t code = form.GetErrorCode();
            if (code == static_cast<int32_t>(ERROR_PPP_LCP_TERMINATED))
                form.SetDetails({});
            form.PrepareFailure(FailureText(code));
            if (gFailureHook)
                gFailureHook(form);
            else
                form.exec();
        }
    } catch (const std::exception& e) {
        WriteLog("OpenConnection", 888, e.what());
    }
    return result;
}

bool CloseConnection(HRASCONN hConn)
{
    if (hConn == 0)
        return true;
    try {
        const DWORD code = Ras2k::HangUpAndWait(hConn);
        LogRasError("HangUp", static_cast<int32_t>(code));
        return code == 0;
    } catch (const std::exception& e) {
        WriteLog("CloseConnection", 888, e.what());
        return true;
    }
}

} // namespace sp

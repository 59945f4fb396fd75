#include "connection/ui/ConnectionWindow.h"

#include "connection/ConnectionQuestion.h"
#include "connection/IDialObserver.h"
#include "connection/MainWindowMessages.h"
#include "connection/TDialSession.h"
#include "dialogs/IDialProgress.h"
#include "dialogs/TfrmProgress.h"
#include "log/EventLog.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasErrors.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>

#include <exception>
#include <memory>
#include <mutex>

namespace sp {

namespace {

IConnectionHost* gHost = nullptr; // main thread only
TProgressFailureHook gFailureHook;
// The progress window between dials; OpenConnection reuses it when a dial
// left it behind. Main thread only.
std::unique_ptr<TfrmProgress> gProgress;
bool gDialling = false; // an OpenConnection runs; main thread only

// The progress window as the dial's observer: each report becomes the
// window message the window has always been sent, synchronously, so it is
// on the screen before the dial goes on. The window takes the text of each
// from here.
class TProgressObserver : public IDialObserver, public IDialProgress {
public:
    explicit TProgressObserver(const TfrmProgress& form) : FForm(form) {}

    void DialProgress(const std::string& text, int) override { Send(text, WM_PROGRESS_STEP, 1); }
    void DialAdopted(const std::string& text, int) override { Send(text, WM_PROGRESS_ADOPTED, 0); }
    void DialAttempt(const std::string& text, int) override { Send(text, WM_PROGRESS_ATTEMPT, 0); }

    [[nodiscard]] std::string ProgressText() const override
    {
        std::lock_guard lk(FLock);
        return FText;
    }

private:
    void Send(const std::string& text, UINT msg, WPARAM wParam)
    {
        {
            std::lock_guard lk(FLock);
            FText = text;
        }
        SendMessage(FForm.Handle(), msg, wParam, 0);
    }

    const TfrmProgress& FForm;
    mutable std::mutex FLock;
    std::string FText;
};

class TMessageBoxQuestion : public IConnectionQuestion {
public:
    bool AskYesNo(const std::string& text) override
    {
        return AskOnMainThread([&text] {
            const auto answer = QMessageBox::critical(nullptr, QStringLiteral("Ошибка"), QString::fromStdString(text),
                                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
            return answer == QMessageBox::Yes;
        });
    }
};

QString FailureText(int32_t code)
{
    if (code == 0)
        return QStringLiteral("Ошибка при соединении.");
    if (code == static_cast<int32_t>(ERROR_PPP_LCP_TERMINATED))
        return QStringLiteral("Ошибка. Услуга недоступна");
    return QStringLiteral("Ошибка при соединении. Код ") + QString::number(code);
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

IConnectionQuestion& MessageBoxQuestion()
{
    static TMessageBoxQuestion question;
    return question;
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
    std::unique_ptr<TProgressObserver> observer;
    std::unique_ptr<TDialSession> session;
    // Step 8 runs on every way out, exceptions included: the session waits
    // for its thread and its notifier while the window still takes messages.
    struct Cleanup {
        std::unique_ptr<TDialSession>& session;
        std::unique_ptr<TProgressObserver>& observer;
        ~Cleanup()
        {
            session.reset();
            if (gProgress)
                gProgress->SetDialProgress(nullptr);
            observer.reset();
            gProgress.reset();
            gDialling = false;
        }
    } cleanup{session, observer};
    try {
        if (!gProgress) {
            QWidget* owner = gHost != nullptr ? gHost->ProgressOwner() : nullptr;
            gProgress = std::make_unique<TfrmProgress>(owner);
        }
        TfrmProgress& form = *gProgress;
        form.PrepareForDial();
        form.show();
        ProcessMessages();

        observer = std::make_unique<TProgressObserver>(form);
        form.SetDialProgress(observer.get());
        session = std::make_unique<TDialSession>(modem, entryName, apns, observer.get(), &MessageBoxQuestion());
        TDialSession& dial = *session;
        // The window's cancel (button or title bar) is the dial's cancel request.
        const QMetaObject::Connection cancel =
            QObject::connect(&form, &TfrmProgress::cancelRequested, [&dial] { dial.Cancel(); });
        dial.Start();
        dial.Wait();
        // The last report is shown before the outcome replaces it.
        result = dial.Finish();
        QObject::disconnect(cancel);
        entryName = dial.EntryName();

        const HRASCONN h = dial.Handle();
        if (h != 0) {
            SendMessage(MainWindowHandle(), WM_CONNECTED, h, 0);
            if (ApnUpdateDue(gHost)) {
                // The "А" of "АPN" is Cyrillic, as the program has always shown it.
                form.lblProgress()->setText(QStringLiteral("Обновление конфигурации АPN..."));
                ProcessMessages();
                RunApnUpdate(gHost, apns);
            }
        } else {
            form.hide();
            form.bar()->hide();
            // What the dial reported is what the window shows and unfolds.
            const int32_t code = dial.State().GetErrorCode();
            form.SetErrorCode(code);
            form.SetDetails(code == static_cast<int32_t>(ERROR_PPP_LCP_TERMINATED) ? std::string()
                                                                                  : dial.State().GetDetails());
            form.PrepareFailure(FailureText(form.GetErrorCode()));
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

} // namespace sp

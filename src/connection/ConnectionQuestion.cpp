#include "connection/ConnectionQuestion.h"

#include "platform/system/WindowMessages.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include <mutex>

namespace sp {
namespace {

constexpr UINT WM_ASK_QUESTION = WM_USER + 40;

std::mutex g_hookMutex;
TQuestionHook g_hook;

bool AskHere(const std::string& text) {
    TQuestionHook hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook)
        return hook(text);
    const auto answer = QMessageBox::critical(nullptr, QStringLiteral("Ошибка"), QString::fromStdString(text),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    return answer == QMessageBox::Yes;
}

// The main thread's window for questions asked from other threads. Owned by
// the application object, so it goes when the application does.
class TQuestionWindow : public QObject {
public:
    explicit TQuestionWindow(QObject* parent)
        : QObject(parent), window_([](UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
              if (msg != WM_ASK_QUESTION)
                  return 0;
              return AskHere(*reinterpret_cast<const std::string*>(wParam)) ? 1 : 2;
          }) {}
    [[nodiscard]] HWND Handle() const { return window_.Handle(); }

private:
    TMessageWindow window_;
};

HWND QuestionWindow() {
    static std::mutex m;
    static QPointer<TQuestionWindow> window;
    std::lock_guard lock(m);
    if (!window) {
        auto create = [] { window = new TQuestionWindow(qApp); };
        if (QThread::currentThread() == qApp->thread())
            create();
        else
            QMetaObject::invokeMethod(qApp, create, Qt::BlockingQueuedConnection);
    }
    return window ? window->Handle() : 0;
}

} // namespace

void SetQuestionHook(TQuestionHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

bool AskYesNoError(const std::string& text) {
    // Without an application there is nobody to ask: keep things as they are.
    if (!qApp)
        return false;
    if (QThread::currentThread() == qApp->thread())
        return AskHere(text);
    const HWND wnd = QuestionWindow();
    return SendMessage(wnd, WM_ASK_QUESTION, reinterpret_cast<WPARAM>(&text), 0) == 1;
}

} // namespace sp

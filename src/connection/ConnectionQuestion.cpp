#include "connection/ConnectionQuestion.h"

#include "platform/system/WindowMessages.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <mutex>

namespace sp {
namespace {

constexpr UINT WM_ASK_QUESTION = WM_USER + 40;

std::mutex g_hookMutex;
TQuestionHook g_hook;

// The main thread's window for questions asked from other threads. Owned by
// the application object, so it goes when the application does.
class TQuestionWindow : public QObject {
public:
    explicit TQuestionWindow(QObject* parent)
        : QObject(parent), window_([](UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
              if (msg != WM_ASK_QUESTION)
                  return 0;
              return (*reinterpret_cast<const std::function<bool()>*>(wParam))() ? 1 : 2;
          }) {}
    [[nodiscard]] HWND Handle() const { return window_.Handle(); }

private:
    TMessageWindow window_;
};

HWND QuestionWindow() {
    static std::mutex m;
    static QPointer<TQuestionWindow> window;
    QCoreApplication* app = QCoreApplication::instance();
    std::lock_guard lock(m);
    if (!window) {
        auto create = [app] { window = new TQuestionWindow(app); };
        QMetaObject::invokeMethod(app, create, Qt::BlockingQueuedConnection);
    }
    return window ? window->Handle() : 0;
}

} // namespace

void SetQuestionHook(TQuestionHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

bool AskOnMainThread(const std::function<bool()>& ask) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread())
        return ask();
    return SendMessage(QuestionWindow(), WM_ASK_QUESTION, reinterpret_cast<WPARAM>(&ask), 0) == 1;
}

bool AskYesNoError(const std::string& text, IConnectionQuestion* question) {
    TQuestionHook hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook)
        return AskOnMainThread([&] { return hook(text); });
    return question != nullptr && question->AskYesNo(text);
}

} // namespace sp

// Skyportal: the program's entry.

#include "app/ProgramUsage.h"
#include "app/TApplication.h"
#include "app/fGprsMain.h"
#include "connection/MainWindowMessages.h"
#include "dialogs/ProgramFont.h"
#include "platform/base/CommandLine.h"
#include "platform/base/ProgramInfo.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/system/SingleInstance.h"
#include "ras/RasGlobals.h"

#include <memory>

namespace {

// WM_CLOSE: the system asks the window to close (the close question applies).
constexpr sp::UINT WM_CLOSE = 0x0010;

// Held for the whole life of the process; the system lets go of it at exit.
std::unique_ptr<sp::TNamedMutex> g_instanceMutex;

// How long a second start looks for an instance that holds the lock.
constexpr int kFindWaitMs = 3000;

} // namespace

int main(int argc, char** argv) {
    sp::UsePrivateUmask();
    // Answered before anything starts: no window, no service.
    if (sp::AnswerHelpOrVersion(argc, argv, "skyportal", sp::kProgramUsage))
        return 0;
    sp::SetCommandLine(argc, argv);
    sp::TApplication app(argc, argv);
    sp::InitRasGlobals();

    g_instanceMutex = std::make_unique<sp::TNamedMutex>("ZentoraSkyportal");
    if (!g_instanceMutex->Valid() || g_instanceMutex->AlreadyExists()) {
        // Another instance runs: bring it up and hand over, showing nothing.
        // The running one may hold the lock a moment before it listens.
        if (auto running =
                sp::TRemoteWindow::Find(sp::kMainWindowClass, sp::kApplicationTitle, kFindWaitMs)) {
            (void)running->ShowNormal();
            (void)running->SetForeground();
            (void)running->SendMessage(sp::WM_RESTORE_APP, 0, 0);
        }
        return 0;
    }
    // From now on a second start finds this instance; what it asks for is
    // answered once the window exists.
    sp::TTopLevelWindow topLevel(sp::kMainWindowClass, sp::kApplicationTitle);

    // One face for every window, hints included, as the design has it.
    QApplication::setFont(sp::ProgramFont(11));
    // A new machine root starts with the simulated network and its modems.
    sp::ras::EnsureDefaultMachine();
    // The program ends when its main window closes, not when the last
    // visible window goes (in the tray there is none).
    QApplication::setQuitOnLastWindowClosed(false);

    sp::TfrmGprsMain window;
    QObject::connect(&window, &sp::TfrmGprsMain::Closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.FormCreate();
    topLevel.SetHandlers({[&window] { window.RestoreApplication(); },
                          [&window] {
                              window.raise();
                              window.activateWindow();
                          },
                          [&window](sp::UINT msg, sp::WPARAM wParam, sp::LPARAM lParam) -> sp::LRESULT {
                              if (msg == WM_CLOSE) {
                                  window.close();
                                  return 0;
                              }
                              return window.WndProc(msg, wParam, lParam);
                          }});
    (void)QApplication::exec();
    // The window goes before the listener: later requests wait for the exit.
    topLevel.SetHandlers({});
    return 0;
}

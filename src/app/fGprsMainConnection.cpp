// The main window's side of a connection: the button, the state texts, the
// statistics thread, the first-start report and the window messages.

#include "app/fGprsMain.h"

#include "connection/MainWindowMessages.h"
#include "connection/TStatThread.h"
#include "controls/TGPRSButton.h"
#include "controls/TGraphPanel.h"
#include "controls/TTransPanel.h"
#include "dialogs/TfrmConnBreak.h"
#include "dialogs/TfrmMsg.h"
#include "log/EventLog.h"
#include "ras/Modems.h"
#include "update/ApnUpdate.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <algorithm>

namespace sp {
namespace {

class TCursorGuard {
public:
    TCursorGuard() = default;
    ~TCursorGuard() {
        while (FSet-- > 0)
            QApplication::restoreOverrideCursor();
    }
    TCursorGuard(const TCursorGuard&) = delete;
    TCursorGuard& operator=(const TCursorGuard&) = delete;
    void Hourglass() {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++FSet;
    }

private:
    int FSet = 0;
};

} // namespace

TfrmGprsMain::TBusyScope::TBusyScope(TfrmGprsMain& window, bool connection)
    : FWindow(window), FConnection(connection) {
    ++FWindow.FBusy;
    FWindow.aConnect->setEnabled(false);
    if (FConnection && FWindow.FConnectionOps++ == 0)
        FWindow.pnlMain->setEnabled(false);
}

TfrmGprsMain::TBusyScope::~TBusyScope() {
    if (FConnection && --FWindow.FConnectionOps == 0)
        FWindow.pnlMain->setEnabled(true);
    if (--FWindow.FBusy > 0)
        return;
    FWindow.aConnect->setEnabled(FWindow.FStage == 2);
    if (FWindow.FCloseRequested) {
        // Once the handler that held the close back has returned.
        FWindow.FCloseRequested = false;
        QTimer::singleShot(0, &FWindow, [w = &FWindow] {
            if (!w->FClosed)
                w->close();
        });
    }
}

HWND TfrmGprsMain::Handle() const {
    return FWindow->Handle();
}

QWidget* TfrmGprsMain::ProgressOwner() const {
    return const_cast<TfrmGprsMain*>(this);
}

void TfrmGprsMain::aConnectExecute() {
    // Reached from the tray menu too, which no modal window blocks: one
    // connect or disconnect at a time, and none while a question is open.
    if (FBusy > 0)
        return;
    TCursorGuard cursor;
    if (FConn != 0) {
        const TBusyScope busy(*this, true);
        cursor.Hourglass();
        Disconnect();
        ShowDisconnected();
        return;
    }
    ProcessMessages();
    FConn = Connect();
    if (FConn != 0) {
        UpdatePage();
        repaint();
    }
}

HRASCONN TfrmGprsMain::Connect() {
    if (FConnectionOps > 0)
        return 0;
    const TBusyScope busy(*this, true);
    std::vector<std::string> modems;
    (void)EnumDevices(modems);
    if (std::find(modems.begin(), modems.end(), FModem) == modems.end()) {
        ShowMsg(
            QStringLiteral("Ошибка: выбраный модем в системе не зарегистрирован. Выберите другой модем для "
                           "соединения"),
            MsgKind::Error, {MsgButton::Ok});
        OpenSettingsPage();
        return 0;
    }
    btnConnect->Paint();
    ProcessMessages();
    return OpenConnection(FModem, FConnection, FAPNs);
}

bool TfrmGprsMain::Disconnect() {
    const bool result = CloseConnection(FConn);
    if (FStatThread) {
        FStatThread->Suspend();
        FStatThread->CloseSession();
    }
    return result;
}

void TfrmGprsMain::ShowDisconnected() {
    FConn = 0;
    lblConnStatus->setText(QStringLiteral("Соединение с GPRS не установлено"));
    SetTrayState(TTrayMode::Unchanged, QStringLiteral("Skyportal - Отключено"));
    btnConnect->SetCaption(QStringLiteral("Подключиться"));
    btnConnect->Paint();
}

void TfrmGprsMain::StartStatistics(bool resetTotals) {
    if (FStatThread) {
        if (resetTotals) {
            gpnlStat->ClearGraph();
            FMaxSpeed = 0;
        }
        FStatThread->Restart(resetTotals);
    } else {
        // Lives until the program ends, paused between connections; it is
        // told to stop when the window goes and ends by itself.
        FStatThread = TThread::Create<TStatThread>(Handle());
        gpnlStat->ClearGraph();
    }
    FStatThread->BaseRecv = FBaseRecv;
    FStatThread->BaseXmit = FBaseXmit;
    FStatThread->Resume();

    // The Latin c before GPRS is the system's own spelling.
    lblConnStatus->setText(QStringLiteral("Соединение c GPRS установлено"));
    SetTrayState(TTrayMode::Unchanged, QStringLiteral("Skyportal - Подключено"));

    if (FFirstStart) {
        std::string error;
        std::string body;
        ReportFirstStart(error, body);
        if (!body.empty())
            WriteLog("FIRST_START", 0, body);
        else
            WriteLog("FIRST_START", 888, error);
        FFirstStart = false;
    }

    btnConnect->SetCaption(QStringLiteral("Отключиться"));
    btnConnect->Paint();
}

LRESULT TfrmGprsMain::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_CONN_LOST: {
        // One sent before the session was closed is over; and while anything
        // else is under way (a dial, a hang-up, a question) the thread asks
        // again at its next poll.
        if (FBusy > 0 || (FStatThread && !FStatThread->SendIsCurrent()))
            break;
        const TBusyScope busy(*this, false);
        ShowDisconnected();
        raise();
        activateWindow();
        if (!LinkEndedAtLimit() && AskRestoreConnection()) {
            repaint();
            Disconnect();
            FConn = Connect();
            if (FConn != 0)
                StartStatistics(false);
        } else {
            FConn = 0;
            if (FStatThread) {
                FStatThread->Suspend();
                FStatThread->CloseSession();
            }
        }
        break;
    }
    case WM_STAT_UPDATE:
        // A sample of a session closed while it waited is not shown, nor one
        // that arrives while the owner pauses the thread to close it.
        if (FStatThread && (!FStatThread->SendIsCurrent() || FStatThread->Suspended()))
            break;
        // Session counts are unsigned: a session above 2 GiB stays positive.
        StatUpdate(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
        break;
    case WM_RESTORE_APP:
        AppRestore();
        break;
    case WM_CONFIG_ERROR:
        if (!FConfigErrorShown) {
            FConfigErrorShown = true;
            const TBusyScope busy(*this, false);
            ShowMsg(QStringLiteral("Во время работы программы возникла ошибка конфигурации системы. "
                                   "Восстановление требует перезагрузки."),
                    MsgKind::Error, {MsgButton::Ok});
        }
        break;
    case WM_CONNECTED:
        FConn = static_cast<HRASCONN>(wParam);
        StartStatistics(true);
        break;
    case WM_BASE_COUNTERS:
        FBaseRecv = static_cast<uint32_t>(wParam);
        FBaseXmit = static_cast<uint32_t>(lParam);
        break;
    default:
        break;
    }
    return 0;
}

std::string TfrmGprsMain::GetAPNVersionString() const {
    return FVersion + "." + FAPNVersion;
}

void TfrmGprsMain::SetAPNVersion(const std::string& version) {
    const size_t dot = version.rfind('.');
    FAPNVersion = dot == std::string::npos ? std::string() : version.substr(dot + 1);
}

} // namespace sp

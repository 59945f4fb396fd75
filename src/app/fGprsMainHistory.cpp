// The main window's side of the traffic history: the way to the window
// "Статистика трафика" (tray menu and main page) and the limit warnings.
#include "app/fGprsMain.h"

#include "app/TBalanceAction.h"
#include "app/TLinkLabel.h"
#include "controls/TTransPanel.h"
#include "dialogs/ProgramFont.h"
#include "dialogs/TfrmMsg.h"
#include "history/HistoryTexts.h"
#include "history/THistoryWatch.h"
#include "history/TfrmTrafficStats.h"
#include "log/EventLog.h"
#include "platform/rasapi/ModemReading.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace sp {

void TfrmGprsMain::CreateHistory() {
    aTrafficStats = new QAction(QStringLiteral("Статистика трафика"), this);
    connect(aTrafficStats, &QAction::triggered, this, &TfrmGprsMain::aTrafficStatsExecute);
    // Just after the connection item, before the support report and "Выйти".
    const QList<QAction*> items = pmMain->actions();
    pmMain->insertAction(items.value(items.indexOf(aConnect) + 1, aExit), aTrafficStats);
    // The balance right after it: the design's items keep their order.
    aBalance = new TBalanceAction([this] { return FModem; }, this);
    pmMain->insertAction(items.value(items.indexOf(aConnect) + 1, aExit), aBalance);

    FModemHintTimer = new QTimer(this);
    FModemHintTimer->setInterval(std::chrono::seconds(30));
    connect(FModemHintTimer, &QTimer::timeout, this, &TfrmGprsMain::RefreshModemHint);
    FModemHintTimer->start();
    QTimer::singleShot(std::chrono::seconds(1), this, &TfrmGprsMain::RefreshModemHint);

    // Under the connection time, clear of the design's controls.
    lblTrafficStats = new TLinkLabel(QStringLiteral("Статистика трафика"), pnlMain);
    QFont f = ProgramFont(11);
    f.setUnderline(true);
    lblTrafficStats->setFont(f);
    QPalette link = lblTrafficStats->palette();
    link.setColor(QPalette::WindowText, QColor(0, 6, 116));
    lblTrafficStats->setPalette(link);
    lblTrafficStats->move(268, 194);
    lblTrafficStats->adjustSize();
    connect(lblTrafficStats, &TLinkLabel::clicked, this, &TfrmGprsMain::aTrafficStatsExecute);

    THistoryWatch::Sinks sinks;
    sinks.tray = [this](const QString& text) {
        if (TrayAvailable() && rxTrayIcon && rxTrayIcon->isVisible())
            rxTrayIcon->showMessage(QStringLiteral("Skyportal"), text, QSystemTrayIcon::Warning, 15000);
        else
            ShowMsg(text, MsgKind::Warning, {MsgButton::Ok});
    };
    sinks.log = [](const std::string& line) { WriteLog("TRAFFIC-LIMIT", 0, line); };
    sinks.hungUp = [](const QString& text) { ShowMsg(text, MsgKind::Warning, {MsgButton::Ok}); };
    sinks.linkUp = [this] { return FConn.load() != 0; };
    FHistoryWatch = new THistoryWatch(std::move(sinks), this);
    FHistoryWatch->Start();
}

void TfrmGprsMain::aTrafficStatsExecute() {
    if (!FTrafficStats) {
        FTrafficStats = new TfrmTrafficStats(this);
        FTrafficStats->setAttribute(Qt::WA_DeleteOnClose);
        FTrafficStats->setWindowIcon(windowIcon());
    }
    FTrafficStats->SetModem(FModem);
    FTrafficStats->show();
    FTrafficStats->raise();
    FTrafficStats->activateWindow();
}

TfrmTrafficStats* TfrmGprsMain::TrafficStats() const { return FTrafficStats; }

void TfrmGprsMain::RefreshModemHint() {
    ras::ModemReading r;
    // Short waits: this runs on the window's thread. A reading the modem
    // takes longer for shows at the next round.
    const bool read = !FModem.empty() && FModem != "Unknown"
        && ras::QueryModem(FModem, r, std::chrono::seconds(60), std::chrono::milliseconds(300),
                           std::chrono::milliseconds(300)) == 0;
    const QString line = read ? ModemReadingText(r) : QString();
    if (line == FModemLine)
        return;
    FModemLine = line;
    SetTrayState(TTrayMode::Unchanged, FTrayHint);
}

bool TfrmGprsMain::LinkEndedAtLimit() {
    return FHistoryWatch && FHistoryWatch->Poll(true);
}

} // namespace sp

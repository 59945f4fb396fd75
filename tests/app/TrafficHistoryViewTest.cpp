// The traffic history in the program, with the real service: the window
// "Статистика трафика" from the main page and the tray, following the
// service and exporting what rasctl prints; the limit warnings once per
// cycle; a hang-up at the limit explained instead of a restore question.
#include "MainWindowFixture.h"

#include "app/TLinkLabel.h"
#include "controls/TTransPanel.h"
#include "dialogs/TfrmConnBreak.h"
#include "history/TDayChart.h"
#include "history/THistoryWatch.h"
#include "history/TfrmTrafficStats.h"
#include "platform/rasapi/TrafficHistoryQuery.h"
#include "platform/rasman/RasCtl.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QMenu>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTreeWidget>

#include "controls/TGPRSButton.h"

#include <sstream>

using namespace sp;

namespace {

constexpr const char* kUsb = "USB GPRS Modem";

std::string Ctl(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    EXPECT_EQ(ras::RasCtl(args, out, err), 0) << err.str();
    return out.str();
}

class TrafficHistoryView : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        Network(kUsb, "RxRate", "20000");
        Network(kUsb, "TxRate", "1000");
        Network(kUsb, "Traffic", "steady");
        Network("Service", "HistoryCheckpointMs", "100");
    }
    TfrmGprsMain& StartReady()
    {
        StoreSettings(2);
        TfrmGprsMain& w = Start();
        w.UpdatePage();
        return w;
    }
};

TEST_F(TrafficHistoryView, TheWindowFollowsTheServiceWhileShownAndExportsWhatRasctlPrints)
{
    TfrmGprsMain& w = StartReady();
    // Beside the design's controls, over none of them.
    for (QObject* o : w.pnlMain->children()) {
        auto* other = qobject_cast<QWidget*>(o);
        if (other && other != w.lblTrafficStats && other->isVisible()) {
            EXPECT_FALSE(other->geometry().intersects(w.lblTrafficStats->geometry())) << other->metaObject()->className();
        }
    }
    const QList<QAction*> tray = w.pmMain->actions();
    ASSERT_GE(tray.indexOf(w.aConnect), 0);
    EXPECT_EQ(tray.value(tray.indexOf(w.aConnect) + 1), w.aTrafficStats);

    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    QTest::qWait(400);
    Click(w.lblTrafficStats);
    TfrmTrafficStats* stats = w.TrafficStats();
    ASSERT_NE(stats, nullptr);
    EXPECT_TRUE(stats->isVisible());
    EXPECT_TRUE(stats->Following());
    EXPECT_EQ(stats->lvSessions->topLevelItemCount(), 1);
    EXPECT_EQ(stats->lvSessions->topLevelItem(0)->text(7), QStringLiteral("на связи"));
    w.aConnectExecute();
    ASSERT_EQ(w.FConn, 0u);
    ASSERT_TRUE(stats->Refresh());
    EXPECT_EQ(stats->lvSessions->topLevelItem(0)->text(7), QStringLiteral("отключено"));

    // Today's bar: the one day with traffic, under the pointer it tells its figures.
    const auto& days = stats->chartDays->Days();
    ASSERT_GE(days.size(), 28u);
    ASSERT_LE(days.size(), 31u);
    int today = -1;
    for (size_t i = 0; i < days.size(); ++i)
        if (days[i].rx > 0)
            today = static_cast<int>(i);
    ASSERT_GE(today, 0);
    int x = 0;
    while (x < stats->chartDays->width() && stats->chartDays->DayAt(x) != today)
        ++x;
    x += 2;
    const QPoint at(x, stats->chartDays->height() - 25);
    QMouseEvent move(QEvent::MouseMove, at, stats->chartDays->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(stats->chartDays, &move);
    EXPECT_EQ(stats->chartDays->Hovered(), today);
    EXPECT_TRUE(stats->chartDays->DayText(today).contains(QStringLiteral("Принято: ")));
    EXPECT_EQ(stats->chartDays->grab().toImage().pixelColor(at), QColor(44, 159, 22));

    stats->chbLimit->setChecked(true);
    stats->seLimit->setValue(100);
    stats->seCycleDay->setValue(5);
    stats->chbHangUp->setChecked(true);
    ASSERT_TRUE(stats->ApplySettings());
    ras::HistoryUsage u;
    ASSERT_EQ(ras::QueryUsage(u), 0u);
    EXPECT_EQ(u.cycle.limit, std::optional<uint64_t>(104857600));
    EXPECT_EQ(u.cycleDay, 5u);
    EXPECT_TRUE(u.hangUpAtLimit);

    const QString file = QString::fromStdString((root_->Path() / "sessions.csv").string());
    ASSERT_TRUE(stats->ExportCsv(ras::HistoryKind::Sessions, file));
    QFile csv(file);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_EQ(csv.readAll().toStdString(), Ctl({"history", "sessions", "--csv"}));
    ASSERT_TRUE(stats->ExportCsv(ras::HistoryKind::Cycles, file));
    QFile cycles(file);
    ASSERT_TRUE(cycles.open(QIODevice::ReadOnly));
    EXPECT_EQ(cycles.readAll().toStdString(), Ctl({"history", "cycles", "--csv"}));

    // Hidden it asks nothing; closed it is gone.
    stats->hide();
    EXPECT_FALSE(stats->Following());
    w.aTrafficStats->trigger();
    EXPECT_EQ(w.TrafficStats(), stats);
    EXPECT_TRUE(stats->Following());
    stats->close();
    ASSERT_TRUE(WaitFor([&] { return w.TrafficStats() == nullptr; }));
}

TEST_F(TrafficHistoryView, WarningsComeOncePerCycleAndAHangUpAtTheLimitIsExplainedNotRestored)
{
    Ctl({"history", "limit", "40K"});
    TfrmGprsMain& w = StartReady();
    MsgBoxRecorder boxes; // no tray here: the warnings come as boxes
    w.HistoryWatch()->Start(std::chrono::milliseconds(50));
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    ASSERT_TRUE(WaitFor([&] { return boxes.texts.size() >= 2; }));
    EXPECT_EQ(boxes.texts[0].rfind("Израсходовано 80 % лимита трафика за расчётный период: ", 0), 0u) << boxes.texts[0];
    EXPECT_EQ(boxes.texts[1].rfind("Лимит трафика за расчётный период исчерпан: ", 0), 0u) << boxes.texts[1];
    const auto lines = root_->LogLines();
    EXPECT_TRUE(HasLine(lines, "TRAFFIC-LIMIT"));
    EXPECT_TRUE(HasLine(lines, "Traffic 80% of the limit"));
    EXPECT_TRUE(HasLine(lines, "Traffic 100% of the limit"));
    w.aConnectExecute();

    // Told is told, also for the next program and the next service.
    CloseWindow();
    root_->StopService();
    TfrmGprsMain& again = StartReady();
    again.HistoryWatch()->Start(std::chrono::milliseconds(50));
    QTest::qWait(300);
    EXPECT_EQ(boxes.texts.size(), 2u);

    // Hung up at the limit: one clear message, no question about restoring.
    Ctl({"history", "hangup-at-limit", "on"});
    ASSERT_EQ(ras::ChangeHistory(ras::HistorySetting::Limit, 100 * 1024), 0u); // warned anew
    const size_t before = boxes.texts.size();
    SetNextRestoreAnswer(true); // would redial if it were asked
    again.aConnectExecute();
    ASSERT_NE(again.FConn, 0u);
    ASSERT_TRUE(WaitFor([&] { return again.FConn == 0; }));
    auto hungUpTold = [&] {
        return std::count_if(boxes.texts.begin() + static_cast<std::ptrdiff_t>(before), boxes.texts.end(), [](const std::string& t) {
            return t.rfind("Соединение разорвано: исчерпан лимит трафика за расчётный период (100,0 Кбайт)", 0) == 0;
        });
    };
    ASSERT_TRUE(WaitFor([&] { return hungUpTold() == 1; }));
    QTest::qWait(300);
    EXPECT_EQ(hungUpTold(), 1);
    EXPECT_EQ(again.FConn, 0u); // not restored
    EXPECT_EQ(again.btnConnect->Caption(), QStringLiteral("Подключиться"));
    EXPECT_TRUE(HasLine(root_->LogLines(), "hung up at the traffic limit"));
    SetNextRestoreAnswer(std::nullopt);
}

} // namespace

// "Баланс счёта" in the tray menu and the modem's word in the tray's hint and
// the statistics window, with the real service and rasctl on the simulated
// network: the answer in the message box, each refusal in its own words.
#include "MainWindowFixture.h"

#include "app/TBalanceAction.h"
#include "history/TfrmTrafficStats.h"
#include "platform/rasapi/ModemReading.h"

#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>

using namespace sp;

namespace {

constexpr const char* kUsb = "USB GPRS Modem";

class BalanceAction : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        if (IsSkipped())
            return;
        Network(kUsb, "UssdDelayMs", "50");
        Network(kUsb, "UssdTimeoutMs", "400");
        Network(kUsb, "Signal", "20");
        Network(kUsb, "Operator", "Zentora");
    }

    TfrmGprsMain& StartReady()
    {
        StoreSettings(2);
        TfrmGprsMain& w = Start();
        w.UpdatePage();
        QObject::connect(w.aBalance, &TBalanceAction::Done, [this] { ++done_; });
        return w;
    }

    // The item chosen; the box's text once it has been answered.
    std::string Ask(TfrmGprsMain& w)
    {
        MsgBoxRecorder boxes;
        const int before = done_;
        w.aBalance->trigger();
        EXPECT_TRUE(WaitFor([&] { return done_ > before; }));
        EXPECT_EQ(boxes.texts.size(), 1u);
        return boxes.texts.empty() ? std::string() : boxes.texts.back();
    }

    int done_ = 0;
};

TEST_F(BalanceAction, TheItemFollowsTheStatisticsAndTheBoxShowsTheNetworksAnswer)
{
    TfrmGprsMain& w = StartReady();
    const QList<QAction*> menu = w.pmMain->actions();
    // The design's items keep their order; the balance comes right after the statistics.
    ASSERT_EQ(menu.indexOf(w.aRestore), 0);
    EXPECT_EQ(menu.value(1), w.aConnect);
    EXPECT_EQ(menu.value(2), w.aTrafficStats);
    EXPECT_EQ(menu.value(3), w.aBalance);
    EXPECT_EQ(w.aBalance->text().toStdString(), "Баланс счёта");
    EXPECT_EQ(menu.value(5), w.aExit);

    EXPECT_EQ(Ask(w), "Баланс: 250,00 руб.");
    Network(kUsb, "UssdCoding", "gsm7");
    Network(kUsb, "UssdAnswer", "Balance: 12.50 EUR");
    EXPECT_EQ(Ask(w), "Balance: 12.50 EUR");

    Network(kUsb, "UssdNeverAnswers", "1");
    EXPECT_EQ(Ask(w), "Ошибка: баланс не получен: сеть не ответила за 20 с");
    Network(kUsb, "UssdNeverAnswers", "0");

    // With the link up on the modem's only port: the balance needs the link down.
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    EXPECT_EQ(Ask(w), "Ошибка: баланс не получен: Модем занят соединением: баланс можно узнать после отключения.");
    EXPECT_TRUE(w.aBalance->isEnabled());
}

TEST_F(BalanceAction, TheTraysHintAndTheStatisticsWindowShowTheOperatorAndTheSignal)
{
    Network(kUsb, "Registration", "roaming");
    TfrmGprsMain& w = StartReady();
    w.RefreshModemHint();
    EXPECT_EQ(w.rxTrayIcon->toolTip().toStdString(),
              "Skyportal - Отключено\nZentora, сигнал 64 % (-73 дБм), роуминг");
    w.aTrafficStatsExecute();
    TfrmTrafficStats* stats = w.TrafficStats();
    ASSERT_NE(stats, nullptr);
    ASSERT_TRUE(stats->lblModem->isVisible());
    const std::string text = stats->lblModem->text().toStdString();
    EXPECT_EQ(text.rfind("Модем: USB GPRS Modem — Zentora, сигнал 64 % (-73 дБм), роуминг (", 0), 0u) << text;

    // a SIM that wants its PIN is what the hint says
    Network(kUsb, "Sim", "pin");
    ras::ModemReading r;
    ASSERT_EQ(ras::QueryModem(kUsb, r, std::chrono::seconds(0), std::chrono::seconds(2)), 0u);
    w.RefreshModemHint();
    EXPECT_EQ(w.rxTrayIcon->toolTip().toStdString(), "Skyportal - Отключено\nSIM-карта запрашивает PIN-код");
}

} // namespace

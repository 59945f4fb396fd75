// Connecting and disconnecting from the main window against the real
// service, the lost link, and the window's messages.

#include "MainWindowFixture.h"

#include "app/TLinkLabel.h"
#include "connection/MainWindowMessages.h"
#include "controls/TGPRSButton.h"
#include "controls/TGraphPanel.h"
#include "controls/TTransPanel.h"
#include "dialogs/TfrmConnBreak.h"
#include "dialogs/TfrmProgress.h"
#include "platform/rasapi/ras.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"

#include <QAction>
#include <QListWidget>
#include <QScrollBar>
#include <QTest>

#include <algorithm>

using namespace sp;

namespace {

const std::string kUsb = "USB GPRS Modem";

void DropAllLinks(const RasTestRoot& root) {
    const std::string cmd = "SKYPORTAL_ROOT='" + root.Path().string() + "' '" +
                            std::getenv("SKYPORTAL_BIN_DIR") + "/rasctl' drop all >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

} // namespace

class ConnectionControl : public MainWindowTest {
protected:
    TfrmGprsMain& StartConnectedReady(const std::string& modem = kUsb) {
        StoreSettings(2, modem);
        TfrmGprsMain& w = Start();
        w.UpdatePage();
        return w;
    }
};

TEST_F(ConnectionControl, ARemovedModemGivesTheErrorBoxAndTheSettingsPage) {
    TfrmGprsMain& w = StartConnectedReady("Modem that was unplugged");
    MsgBoxRecorder boxes;
    Click(w.btnConnect);
    EXPECT_EQ(w.FConn, 0u);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0],
              "Ошибка: выбраный модем в системе не зарегистрирован. Выберите другой модем для соединения");
    EXPECT_EQ(w.FPage, 4);
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    EXPECT_TRUE(w.pnlMain->isEnabled());
    EXPECT_TRUE(w.aConnect->isEnabled());
    EXPECT_TRUE(ServiceConnections().empty());

    // The same through the box's own seam.
    Click(w.btnSvcOK);
    w.FModem = "Another missing modem";
    SetNextMsgAnswer(mrOk);
    w.aConnectExecute();
    EXPECT_EQ(w.FPage, 4);
    EXPECT_EQ(w.FConn, 0u);
}

TEST_F(ConnectionControl, ConnectShowsTheStatisticsAndDisconnectHangsUp) {
    TfrmGprsMain& w = StartConnectedReady();
    ASSERT_TRUE(w.FFirstStart == false);
    Click(w.btnConnect);
    ASSERT_NE(w.FConn, 0u);
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Отключиться"));
    EXPECT_EQ(w.aConnect->text(), QStringLiteral("Отключиться"));
    EXPECT_EQ(w.lblConnStatus->text(), QStringLiteral("Соединение c GPRS установлено"));
    EXPECT_EQ(w.TrayHint(), QStringLiteral("Skyportal - Подключено"));
    EXPECT_EQ(w.FConnection, "Zentora");
    EXPECT_EQ(ServiceConnections(), std::vector<HRASCONN>{w.FConn.load()});
    ASSERT_TRUE(w.FStatThread);

    // Samples arrive from the statistics thread.
    ASSERT_TRUE(WaitFor([&] { return w.gpnlStat->Samples().size() >= 3; }));
    EXPECT_TRUE(WaitFor([&] { return w.lblReceived->text() != QStringLiteral("0"); }));
    EXPECT_TRUE(HasLine(root_->LogLines(), "THREAD-new-stat"));

    Click(w.btnConnect);
    EXPECT_EQ(w.FConn, 0u);
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Подключиться"));
    EXPECT_EQ(w.lblConnStatus->text(), QStringLiteral("Соединение с GPRS не установлено"));
    EXPECT_EQ(w.TrayHint(), QStringLiteral("Skyportal - Отключено"));
    EXPECT_TRUE(ServiceConnections().empty());
    // The thread is paused: no more samples.
    const size_t samples = w.gpnlStat->Samples().size();
    const QString received = w.lblReceived->text();
    QTest::qWait(150);
    EXPECT_EQ(w.gpnlStat->Samples().size(), samples);
    EXPECT_EQ(w.lblReceived->text(), received);

    // A second connection resumes the same thread, with the graph cleared.
    const auto thread = w.FStatThread;
    Click(w.btnConnect);
    ASSERT_NE(w.FConn, 0u);
    EXPECT_EQ(w.FStatThread, thread);
    EXPECT_LT(w.gpnlStat->Samples().size(), samples);
    Click(w.btnConnect);
    EXPECT_EQ(w.FConn, 0u);
}

TEST_F(ConnectionControl, TheFirstStartIsReportedOncePerRun) {
    // Nothing stored: the first start. Walk the wizard quickly.
    TfrmGprsMain& w = Start();
    ASSERT_TRUE(w.FFirstStart);
    w.scrollUA->setValue(w.scrollUA->maximum());
    w.btnAgreeClick();
    w.lbConnections->setCurrentRow(0);
    ASSERT_EQ(w.lbConnections->currentItem()->text().toStdString(), kUsb);
    w.aNextExecute();
    w.UpdatePage();
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    EXPECT_FALSE(w.FFirstStart);
    w.aConnectExecute();
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    w.aConnectExecute();
    const auto lines = root_->LogLines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& l) { return l.find("src: FIRST_START") != std::string::npos; }),
        1);
    // The server cannot be reached: the failure is only logged, as code 888.
    EXPECT_TRUE(HasLine(lines, "code: 888"));
}

TEST_F(ConnectionControl, ARunningConnectionIsAdoptedOnTheMainPage) {
    {
        TfrmGprsMain& first = StartConnectedReady();
        first.aConnectExecute();
        ASSERT_NE(first.FConn, 0u);
        // Closed without hanging up ("Нет" to the close question): the
        // link stays for the next start.
        SetNextMsgAnswer(mrNo);
        first.close();
        CloseWindow();
    }
    ASSERT_EQ(ServiceConnections().size(), 1u);
    TfrmGprsMain& w = StartConnectedReady();
    EXPECT_EQ(w.FConn, ServiceConnections().front());
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Отключиться"));
    EXPECT_EQ(w.lblConnStatus->text(), QStringLiteral("Соединение c GPRS установлено"));
    ASSERT_TRUE(w.FStatThread);
    w.aConnectExecute();
    EXPECT_TRUE(ServiceConnections().empty());
}

TEST_F(ConnectionControl, ADroppedLinkAnsweredNoKeepsTheLastFigures) {
    TfrmGprsMain& w = StartConnectedReady();
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    ASSERT_TRUE(WaitFor(
        [&] { return w.gpnlStat->Samples().size() >= 2 && w.lblReceived->text() != QStringLiteral("0"); }));

    SetNextRestoreAnswer(false);
    DropAllLinks(*root_);
    ASSERT_TRUE(WaitFor([&] { return w.FConn == 0; }));
    const QString received = w.lblReceived->text();
    const QString time = w.lblTime->text();
    const size_t samples = w.gpnlStat->Samples().size();
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Подключиться"));
    EXPECT_EQ(w.lblConnStatus->text(), QStringLiteral("Соединение с GPRS не установлено"));
    QTest::qWait(200);
    EXPECT_EQ(w.lblReceived->text(), received);
    EXPECT_EQ(w.lblTime->text(), time);
    EXPECT_EQ(w.gpnlStat->Samples().size(), samples);
    EXPECT_GT(samples, 0u);
}

TEST_F(ConnectionControl, ADroppedLinkAnsweredYesWithAFailingDialStaysDisconnected) {
    TfrmGprsMain& w = StartConnectedReady();
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    // From now on every dial of the modem fails.
    Network(kUsb, "FailError", "678");
    std::vector<QString> failures;
    SetProgressFailureHook([&](TfrmProgress& form) { failures.push_back(form.lblProgress()->text()); });
    SetNextRestoreAnswer(true);
    DropAllLinks(*root_);
    ASSERT_TRUE(WaitFor([&] { return !failures.empty(); }));
    ASSERT_TRUE(WaitFor([&] { return w.pnlMain->isEnabled(); }));
    EXPECT_EQ(w.FConn, 0u);
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Подключиться"));
    EXPECT_EQ(w.lblConnStatus->text(), QStringLiteral("Соединение с GPRS не установлено"));
    EXPECT_TRUE(ServiceConnections().empty());
}

TEST_F(ConnectionControl, TwoConfigurationErrorsShowOneBox) {
    TfrmGprsMain& w = StartConnectedReady();
    MsgBoxRecorder boxes;
    SendMessage(w.Handle(), WM_CONFIG_ERROR, 0, 0);
    SendMessage(w.Handle(), WM_CONFIG_ERROR, 0, 0);
    // The error text lookup of 711 tells the window the same way.
    (void)GetRasErrorDescr(711);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "Во время работы программы возникла ошибка конфигурации системы. "
                              "Восстановление требует перезагрузки.");
    EXPECT_EQ(MainWindowHandle(), w.Handle());
}

TEST_F(ConnectionControl, BaseCountersWaitForTheNextSession) {
    TfrmGprsMain& w = StartConnectedReady();
    SendMessage(w.Handle(), WM_BASE_COUNTERS, 4000000000u, 17);
    EXPECT_EQ(w.FBaseRecv, 4000000000u);
    EXPECT_EQ(w.FBaseXmit, 17u);
}

TEST_F(ConnectionControl, TheApnVersionAccessors) {
    TfrmGprsMain& w = StartConnectedReady();
    EXPECT_EQ(w.GetAPNVersionString(), ".0");
    w.FVersion = "1.0";
    EXPECT_EQ(w.GetAPNVersionString(), "1.0.0");
    w.SetAPNVersion("3.1.5");
    EXPECT_EQ(w.FAPNVersion, "5");
    EXPECT_EQ(w.GetAPNVersionString(), "1.0.5");
    w.SetAPNVersion("7");
    EXPECT_EQ(w.FAPNVersion, "");
    EXPECT_EQ(ConnectionHost(), &w);
    EXPECT_EQ(ConnectionHost()->ProgressOwner(), &w);
}

TEST_F(ConnectionControl, ARestoreRequestReachesTheWindow) {
    TfrmGprsMain& w = StartConnectedReady();
    EXPECT_EQ(SendMessage(w.Handle(), WM_RESTORE_APP, 0, 0), 0);
    EXPECT_TRUE(w.isVisible());
}

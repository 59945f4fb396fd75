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
#include "ras/Modems.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"

#include <QAction>
#include <QListWidget>
#include <QScrollBar>
#include <QSignalSpy>
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

int DialAttempts(const RasTestRoot& root) {
    const auto lines = root.LogLines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("src: DIAL-params") != std::string::npos;
    }));
}

// Runs `action` once from the event loop (nested loops included) as soon as
// `ready` holds: what a person does while something is under way.
class TOnce {
public:
    TOnce(std::function<bool()> ready, std::function<void()> action) {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this, ready, action] {
            if (done || !ready())
                return;
            done = true;
            timer_.stop();
            action();
        });
        timer_.start();
    }
    bool done = false;

private:
    QTimer timer_;
};

template <class T> T* OpenModal() {
    auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
    return modal != nullptr && modal->isVisible() ? modal : nullptr;
}

// The title areas, in the background picture's coordinates.
QPoint MinimizeArea(const TfrmGprsMain& w) {
    return w.Image1->mapToGlobal(QPoint(460, 10));
}
QPoint CloseArea(const TfrmGprsMain& w) {
    return w.Image1->mapToGlobal(QPoint(480, 10));
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
    EXPECT_TRUE(HasLine(lines, "src: FIRST_START      code: 888"));
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
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    ASSERT_TRUE(w.FStatThread);
    // The dial of this family reported 0 and 0.
    EXPECT_EQ(w.FStatThread->BaseRecv, 0u);
    SendMessage(w.Handle(), WM_BASE_COUNTERS, 4000000000u, 17);
    EXPECT_EQ(w.FBaseRecv, 4000000000u);
    EXPECT_EQ(w.FBaseXmit, 17u);
    // The running session keeps counting from its own base.
    EXPECT_EQ(w.FStatThread->BaseRecv, 0u);
    EXPECT_EQ(w.FStatThread->BaseXmit, 0u);
    // The next one starts from the new values.
    w.FStatThread->Suspend();
    w.StartStatistics(false);
    EXPECT_EQ(w.FStatThread->BaseRecv, 4000000000u);
    EXPECT_EQ(w.FStatThread->BaseXmit, 17u);
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
    Click(w.lblSettings);
    ASSERT_EQ(w.FPage, 4);
    const int modems = w.lbConnections->count();
    w.aRestore->setEnabled(true);
    // A modem plugged in while the window was away shows once it is back.
    {
        TRegistry reg;
        reg.SetRootKey(RegHive::LocalMachine);
        ASSERT_TRUE(reg.OpenKey(ModemClassKey() + "\\0007", true));
        reg.WriteString("FriendlyName", "Nokia Phone Modem");
        reg.WriteString("AttachedTo", "COM7");
    }
    EXPECT_EQ(SendMessage(w.Handle(), WM_RESTORE_APP, 0, 0), 0);
    EXPECT_EQ(w.lbConnections->count(), modems + 1);
    EXPECT_FALSE(w.aRestore->isEnabled()) << "the window is shown";
}

TEST_F(ConnectionControl, DuringADialNothingAPersonReachesStartsASecondOneOrBreaksIt) {
    Network("Service", "NeverAnswers", "1");
    TfrmGprsMain& w = StartConnectedReady();
    std::vector<QString> failures;
    SetProgressFailureHook([&](TfrmProgress& form) { failures.push_back(form.lblProgress()->text()); });
    QSignalSpy closed(&w, &TfrmGprsMain::Closed);
    // Well into the dial, after many idle updates.
    TOnce during([] { return ProgressForm() != nullptr && ProgressForm()->BarPosition() >= 100; },
                 [&] {
                     EXPECT_FALSE(w.aConnect->isEnabled());
                     EXPECT_FALSE(w.pnlMain->isEnabled());
                     // Each tray item, the buttons' handler, the settings link, the
                     // title areas, a second start's request and the system's close.
                     w.aConnect->trigger();
                     w.aConnectExecute();
                     std::string entry = w.FConnection;
                     std::vector<std::string> apns = w.FAPNs;
                     EXPECT_EQ(OpenConnection(kUsb, entry, apns), 0u);
                     w.lblSettingsClick();
                     EXPECT_EQ(w.TopPage(), w.pnlMain);
                     w.lblAboutClick();
                     w.Label12Click();
                     EXPECT_EQ(w.FConn, 0u) << "the dial's own connection is not taken over";
                     w.Image1Click(MinimizeArea(w));
                     w.aRestore->trigger();
                     EXPECT_EQ(SendMessage(w.Handle(), WM_RESTORE_APP, 0, 0), 0);
                     w.Image1Click(CloseArea(w));
                     w.aExit->trigger();
                     w.close();
                     EXPECT_TRUE(w.isVisible());
                     ASSERT_NE(ProgressForm(), nullptr);
                     EXPECT_TRUE(ProgressForm()->isVisible());
                 });
    w.aConnect->trigger();
    EXPECT_TRUE(during.done);
    EXPECT_EQ(DialAttempts(*root_), 1);
    EXPECT_EQ(failures, std::vector<QString>{QStringLiteral("Ошибка при соединении.")});
    EXPECT_TRUE(w.pnlMain->isEnabled());
    // The close asked for during the dial comes once it is over.
    EXPECT_TRUE(WaitFor([&] { return closed.count() == 1; }));
    EXPECT_FALSE(w.isVisible());
}

TEST_F(ConnectionControl, WhileTheBrokenLinkQuestionIsOpenNoDialStartsAndACloseWaits) {
    TfrmGprsMain& w = StartConnectedReady();
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    QSignalSpy closed(&w, &TfrmGprsMain::Closed);
    TOnce during([] { return OpenModal<TfrmConnBreak>() != nullptr; },
                 [&] {
                     w.UpdatePage();
                     EXPECT_FALSE(w.aConnect->isEnabled());
                     w.aConnect->trigger();
                     w.aConnectExecute();
                     EXPECT_EQ(ProgressForm(), nullptr);
                     w.lblSettingsClick();
                     EXPECT_EQ(w.FPage, 2);
                     EXPECT_EQ(SendMessage(w.Handle(), WM_RESTORE_APP, 0, 0), 0);
                     w.aRestore->trigger();
                     w.close();
                     TfrmConnBreak* question = OpenModal<TfrmConnBreak>();
                     ASSERT_NE(question, nullptr);
                     question->done(mrNo);
                 });
    DropAllLinks(*root_);
    ASSERT_TRUE(WaitFor([&] { return closed.count() == 1; }));
    EXPECT_TRUE(during.done);
    EXPECT_EQ(DialAttempts(*root_), 1);
    EXPECT_EQ(w.FConn, 0u);
}

TEST_F(ConnectionControl, WhileTheCloseQuestionIsOpenTheTrayNeitherHangsUpNorAsksAgain) {
    TfrmGprsMain& w = StartConnectedReady();
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    QSignalSpy closed(&w, &TfrmGprsMain::Closed);
    int questions = 0;
    TOnce during([] { return OpenModal<TfrmMsg>() != nullptr; },
                 [&] {
                     ++questions;
                     EXPECT_FALSE(w.aConnect->isEnabled());
                     w.aConnect->trigger();
                     EXPECT_EQ(ServiceConnections().size(), 1u);
                     w.aExit->trigger();
                     w.Image1Click(CloseArea(w));
                     EXPECT_EQ(SendMessage(w.Handle(), WM_RESTORE_APP, 0, 0), 0);
                     TfrmMsg* box = OpenModal<TfrmMsg>();
                     ASSERT_NE(box, nullptr);
                     box->done(mrCancel);
                 });
    w.aExit->trigger();
    EXPECT_TRUE(during.done);
    QTest::qWait(50);
    EXPECT_EQ(questions, 1);
    EXPECT_EQ(closed.count(), 0) << "one request, answered with Отмена";
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(ServiceConnections().size(), 1u);
    w.UpdatePage();
    EXPECT_TRUE(w.aConnect->isEnabled());
}

TEST_F(ConnectionControl, ASampleWaitingWhileTheUserDisconnectsIsNotShown) {
    TfrmGprsMain& w = StartConnectedReady();
    // Seven minutes pass at every reading of the clock, so a doubled time
    // shows. Once armed, the thread's next sample holds until the pause is
    // asked for, so its report is queued while the session is closed.
    std::atomic<int> minutes{0};
    std::atomic<bool> armed{false};
    std::atomic<TStatThread*> thread{nullptr};
    const auto mainThread = std::this_thread::get_id();
    TStatThread::SetClock([&] {
        if (std::this_thread::get_id() != mainThread && armed.exchange(false))
            while (!thread.load()->Suspended())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 45000.0 + (minutes += 7) / 1440.0;
    });
    w.aConnectExecute();
    ASSERT_NE(w.FConn, 0u);
    thread = w.FStatThread.get();
    ASSERT_TRUE(WaitFor([&] { return w.gpnlStat->Samples().size() >= 2; }));
    armed = true;
    ASSERT_TRUE(WaitFor([&] { return !armed.load(); }));
    const size_t samples = w.gpnlStat->Samples().size();
    const QString time = w.lblTime->text();
    w.aConnectExecute();
    EXPECT_EQ(w.FConn, 0u);
    QTest::qWait(100);
    TStatThread::SetClock({});
    EXPECT_EQ(w.gpnlStat->Samples().size(), samples);
    EXPECT_EQ(w.lblTime->text(), time);
}

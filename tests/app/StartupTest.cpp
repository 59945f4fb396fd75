// Start-up and close of the main window, its version, the frame's title
// areas, dragging, the own hint and the tray, on a machine with the real
// service.

#include "MainWindowFixture.h"

#include "connection/MainWindowMessages.h"
#include "controls/TGPRSButton.h"
#include "platform/base/CommandLine.h"
#include "platform/rasapi/ras.h"
#include "platform/system/SingleInstance.h"
#include "ras/RasBinding.h"
#include "ras/RasGlobals.h"

#include <QAction>
#include <QMenu>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <fstream>

using namespace sp;

namespace {

const std::string kUsb = "USB GPRS Modem";
const std::string kBluetooth = "Bluetooth Phone Modem";

std::string RawValue(const std::string& name) {
    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    if (!reg.OpenKeyReadOnly("\\Software\\Zentora\\Skyportal"))
        return {};
    return reg.ReadString(name);
}

std::string StoredModem() {
    TfrmGprsMain w;
    (void)w.LoadSettings();
    return w.FModem;
}

// The mouse as a person moves it over the background picture.
void Mouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

// In the tray the window is withdrawn, and never marked minimised on the
// native side: an X window marked so is mapped iconic at its next showing,
// and the window manager sends it straight back into the tray.
bool InTheTray(TfrmGprsMain& w) {
    return !w.isVisible() && w.windowHandle() != nullptr &&
           !(w.windowHandle()->windowStates() & Qt::WindowMinimized);
}

} // namespace

class Startup : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        SetTrayAvailableForTests(true);
    }
    void TearDown() override {
        SetTrayAvailableForTests(std::nullopt);
        MainWindowTest::TearDown();
    }

    TfrmGprsMain& StartConnected() {
        StoreSettings(2, kUsb);
        TfrmGprsMain& w = Start();
        w.UpdatePage();
        Click(w.btnConnect);
        return w;
    }

    bool closed_ = false;
    void WatchClose(TfrmGprsMain& w) {
        QObject::connect(&w, &TfrmGprsMain::Closed, [this] { closed_ = true; });
    }
};

// ---------------------------------------------------------------- version

TEST(Version, KeepsTwoComponents) {
    EXPECT_EQ(TwoComponentVersion("1.2.3.4"), "1.2");
    EXPECT_EQ(TwoComponentVersion("7"), "7");
    EXPECT_EQ(TwoComponentVersion("1.2"), "1");
    EXPECT_EQ(TwoComponentVersion("1.2.3"), "1");
    EXPECT_EQ(TwoComponentVersion(""), "");
}

TEST(Version, IsReadFromAnyFile) {
    const std::string bin = std::getenv("SKYPORTAL_BIN_DIR");
    EXPECT_EQ(GetFileVersionString(bin + "/skyportal"), SKYPORTAL_PROGRAM_VERSION);
    // The client library carries no version information, nor does a text.
    EXPECT_EQ(GetFileVersionString(bin + "/libskyportal-rasapi.so"), "");
    const auto text = std::filesystem::temp_directory_path() / "sp-version-text.txt";
    std::ofstream(text) << "\\StringFileInfo\\041904E3\\FileVersion=9.9.9.9";
    EXPECT_EQ(GetFileVersionString(text.string()), "");
    std::filesystem::remove(text);
    EXPECT_EQ(GetFileVersionString("/nonexistent/skyportal"), "");
}

TEST_F(Startup, TheAboutPageShowsTheProgramsTwoComponents) {
    // This test program carries the FileVersion 1.2.3.4.
    TfrmGprsMain& w = Start();
    EXPECT_EQ(w.FVersion, "1.2");
    EXPECT_EQ(w.lblVersion->text(), QStringLiteral("Версия: 1.2"));
    EXPECT_EQ(w.GetAPNVersionString(), "1.2.0");
}

// ---------------------------------------------------------------- start-up

TEST_F(Startup, FormCreateLogsTheWindowsVersionAndShowsTheTrayIcon) {
    TfrmGprsMain& w = Start();
    EXPECT_TRUE(HasLine(root_->LogLines(), "src: WINVER      code: 501         msg: version of Windows"));
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w.rxTrayIcon->isVisible());
    EXPECT_EQ(w.rxTrayIcon->toolTip(), QStringLiteral("Skyportal - Отключено"));
    // The two upper corners are cut off.
    EXPECT_FALSE(w.mask().contains(QPoint(0, 0)));
    EXPECT_FALSE(w.mask().contains(QPoint(499, 0)));
    EXPECT_TRUE(w.mask().contains(QPoint(250, 0)));
    EXPECT_TRUE(w.mask().contains(QPoint(0, 357)));
}

TEST_F(Startup, AutoAtPositionOneGoesIntoTheTrayWithoutDialling) {
    SetCommandLine({"test", "/auto", "/r"});
    InitRasGlobals();
    EXPECT_EQ(RasWaitRounds.load(), 120);
    StoreSettings(2, kUsb);
    // "/r" at position 2: the values are plain.
    EXPECT_EQ(RawValue("StartStage"), "2");
    TfrmGprsMain& w = Start();
    QApplication::processEvents();
    EXPECT_TRUE(InTheTray(w));
    EXPECT_TRUE(w.rxTrayIcon->isVisible());
    EXPECT_EQ(w.FConn, 0u);
    EXPECT_TRUE(ServiceConnections().empty());

    // A double click on the icon brings it back in normal state.
    w.rxTrayIconDblClick();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_FALSE(w.aRestore->isEnabled());
}

TEST_F(Startup, SwitchesAtTheWrongPositionsDoNothing) {
    SetCommandLine({"test", "/r", "/auto"});
    InitRasGlobals();
    EXPECT_EQ(RasWaitRounds.load(), 20);
    StoreSettings(2, kUsb);
    EXPECT_NE(RawValue("StartStage"), "2");
    EXPECT_FALSE(RawValue("StartStage").empty());
    TfrmGprsMain& w = Start();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
}

TEST_F(Startup, WithoutASystemTrayMinimisingKeepsTheTaskbarEntry) {
    SetTrayAvailableForTests(false);
    SetCommandLine({"test", "/auto"});
    StoreSettings(2, kUsb);
    TfrmGprsMain& w = Start();
    QApplication::processEvents();
    EXPECT_TRUE(w.isMinimized());
    // Still a window of the desktop, so it can be reached.
    EXPECT_TRUE(w.isVisible());
}

TEST_F(Startup, AnExceptionIsLoggedAndDropped) {
    TfrmGprsMain& w = Start();
    w.AppException("something broke");
    EXPECT_TRUE(HasLine(root_->LogLines(), "src: AppException      code: 888         msg: something broke"));
}

// ---------------------------------------------------------------- close

TEST_F(Startup, CloseWhileConnectedCancelKeepsEverything) {
    TfrmGprsMain& w = StartConnected();
    const HRASCONN h = w.FConn;
    ASSERT_NE(h, 0u);
    WatchClose(w);
    w.FModem = kBluetooth;
    SetNextMsgAnswer(mrCancel);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(closed_);
    EXPECT_EQ(w.FConn, h);
    EXPECT_EQ(ServiceConnections(), std::vector<HRASCONN>{h});
    EXPECT_TRUE(w.rxTrayIcon->isVisible());
    EXPECT_EQ(StoredModem(), kUsb);
}

TEST_F(Startup, CloseWhileConnectedYesHidesFirstThenHangsUpAndSaves) {
    TfrmGprsMain& w = StartConnected();
    ASSERT_NE(w.FConn, 0u);
    WatchClose(w);
    w.FModem = kBluetooth;
    // How many links were up when the window went away.
    std::optional<size_t> upWhenHidden;
    struct HideWatch : QObject {
        std::function<void()> onHide;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Hide && onHide)
                onHide();
            return false;
        }
    } watch;
    watch.onHide = [&] {
        if (!upWhenHidden)
            upWhenHidden = ServiceConnections().size();
    };
    w.installEventFilter(&watch);
    SetNextMsgAnswer(mrYes);
    EXPECT_TRUE(w.close());
    w.removeEventFilter(&watch);
    EXPECT_TRUE(closed_);
    ASSERT_TRUE(upWhenHidden.has_value());
    EXPECT_EQ(*upWhenHidden, 1u);
    EXPECT_TRUE(ServiceConnections().empty());
    EXPECT_FALSE(w.rxTrayIcon->isVisible());
    EXPECT_EQ(StoredModem(), kBluetooth);
}

TEST_F(Startup, CloseWhileConnectedNoLeavesTheLinkForTheNextStart) {
    TfrmGprsMain& w = StartConnected();
    const HRASCONN h = w.FConn;
    ASSERT_NE(h, 0u);
    SetNextMsgAnswer(mrNo);
    EXPECT_TRUE(w.close());
    EXPECT_EQ(ServiceConnections(), std::vector<HRASCONN>{h});
    CloseWindow();

    TfrmGprsMain& next = Start();
    EXPECT_EQ(next.FConn, h);
    EXPECT_EQ(next.rxTrayIcon->toolTip(), QStringLiteral("Skyportal - Подключено"));
    SetNextMsgAnswer(mrYes);
    EXPECT_TRUE(next.close());
    EXPECT_TRUE(ServiceConnections().empty());
}

TEST_F(Startup, CloseWhileNotConnectedAsksNothing) {
    StoreSettings(2, kUsb);
    TfrmGprsMain& w = Start();
    WatchClose(w);
    MsgBoxRecorder boxes;
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_TRUE(closed_);
}

TEST_F(Startup, DisagreeOnTheFirstStartWritesNoKey) {
    TfrmGprsMain& w = Start();
    ASSERT_EQ(w.FPage, 3);
    Click(w.btnDisagree);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(SettingsKeyExists());
}

// ---------------------------------------------------------------- title areas

TEST_F(Startup, TheTitleAreasMinimiseAndCloseExactlyInTheirBounds) {
    StoreSettings(2, kUsb);
    TfrmGprsMain& w = Start();
    WatchClose(w);
    for (int x : {452, 473, 495, 300}) {
        Click(w.Image1, QPoint(x, 13));
        EXPECT_TRUE(w.isVisible()) << x;
        EXPECT_FALSE(w.isMinimized()) << x;
        EXPECT_FALSE(closed_) << x;
    }
    // The band is y 5 to 21.
    Click(w.Image1, QPoint(460, 4));
    Click(w.Image1, QPoint(460, 22));
    EXPECT_FALSE(w.isMinimized());

    Click(w.Image1, QPoint(453, 13));
    QApplication::processEvents();
    EXPECT_TRUE(InTheTray(w));
    // In the tray "Открыть программу" is offered.
    emit w.pmMain->aboutToShow();
    EXPECT_TRUE(w.aRestore->isEnabled());
    w.aRestore->trigger();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_FALSE(w.aRestore->isEnabled());

    Click(w.Image1, QPoint(494, 5));
    EXPECT_TRUE(closed_);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(Startup, DraggingTheBackgroundMovesTheWindowWhileTheLeftButtonIsDown) {
    TfrmGprsMain& w = Start();
    const QPoint start = w.pos();
    Mouse(w.Image1, QEvent::MouseButtonPress, {100, 30}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_TRUE(w.FDragging);
    Mouse(w.Image1, QEvent::MouseMove, {130, 50}, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(w.pos(), start + QPoint(30, 20));
    Mouse(w.Image1, QEvent::MouseButtonRelease, {130, 50}, Qt::LeftButton, Qt::NoButton);
    EXPECT_FALSE(w.FDragging);
    Mouse(w.Image1, QEvent::MouseMove, {160, 70}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(w.pos(), start + QPoint(30, 20));
    // A right button does not drag.
    Mouse(w.Image1, QEvent::MouseButtonPress, {100, 30}, Qt::RightButton, Qt::RightButton);
    Mouse(w.Image1, QEvent::MouseMove, {120, 30}, Qt::NoButton, Qt::RightButton);
    EXPECT_EQ(w.pos(), start + QPoint(30, 20));
}

TEST_F(Startup, TheTitleHintIsShownOnceForTheSameText) {
    TfrmGprsMain& w = Start();
    Mouse(w.Image1, QEvent::MouseMove, {460, 13}, Qt::NoButton, Qt::NoButton);
    QLabel* hint = w.HintWnd();
    ASSERT_NE(hint, nullptr);
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(hint->text(), QStringLiteral("Свернуть программу в \"Трей\""));
    EXPECT_EQ(hint->pos(), w.mapToGlobal(QPoint(460, 13 - 25)));
    // The same text again: not shown anew, so it neither moves nor flickers.
    const QPoint at = hint->pos();
    Mouse(w.Image1, QEvent::MouseMove, {466, 14}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(w.HintWnd(), hint);
    EXPECT_EQ(hint->pos(), at);
    Mouse(w.Image1, QEvent::MouseMove, {480, 13}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(w.HintWnd(), hint);
    EXPECT_EQ(hint->text(), QStringLiteral("Закрыть программу"));
    EXPECT_TRUE(w.hintTimer->isActive());
    w.hintTimerTimer();
    EXPECT_EQ(w.HintWnd(), nullptr);
    EXPECT_FALSE(w.hintTimer->isActive());
    // Outside the band, or with a button held, no hint.
    Mouse(w.Image1, QEvent::MouseMove, {460, 30}, Qt::NoButton, Qt::NoButton);
    Mouse(w.Image1, QEvent::MouseMove, {460, 13}, Qt::NoButton, Qt::RightButton);
    EXPECT_EQ(w.HintWnd(), nullptr);
}

// ---------------------------------------------------------------- tray

TEST_F(Startup, TheTrayMenuHasItsItemsEnabledByStage) {
    TfrmGprsMain& w = Start();
    const QList<QAction*> items = w.pmMain->actions();
    // The four of the design, the traffic statistics and the balance after
    // the connection item and the support report just before "Выйти".
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(items[0], w.aRestore);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Открыть программу"));
    EXPECT_EQ(items[1], w.aConnect);
    EXPECT_EQ(items[2], w.aTrafficStats);
    EXPECT_EQ(items[2]->text(), QStringLiteral("Статистика трафика"));
    EXPECT_EQ(items[3]->text(), QStringLiteral("Баланс счёта"));
    EXPECT_EQ(items[4]->text(), QStringLiteral("Отчёт для службы поддержки..."));
    EXPECT_EQ(items[5], w.aExit);
    EXPECT_EQ(items[5]->text(), QStringLiteral("Выйти"));
    EXPECT_EQ(items[6]->text(), QStringLiteral("   "));
    EXPECT_FALSE(items[6]->isVisible());
    EXPECT_EQ(w.rxTrayIcon->contextMenu(), w.pmMain);
    // Stage 3: no connecting from the tray.
    w.UpdatePage();
    EXPECT_FALSE(w.aConnect->isEnabled());
    CloseWindow();

    StoreSettings(2, kUsb);
    TfrmGprsMain& installed = Start();
    installed.UpdatePage();
    EXPECT_TRUE(installed.aConnect->isEnabled());
    EXPECT_EQ(installed.aConnect->text(), QStringLiteral("Подключиться"));
    installed.aConnect->trigger();
    ASSERT_NE(installed.FConn, 0u);
    EXPECT_EQ(installed.aConnect->text(), QStringLiteral("Отключиться"));
    EXPECT_EQ(installed.rxTrayIcon->toolTip(), QStringLiteral("Skyportal - Подключено"));
    installed.aConnect->trigger();
    EXPECT_EQ(installed.FConn, 0u);
    EXPECT_EQ(installed.rxTrayIcon->toolTip(), QStringLiteral("Skyportal - Отключено"));

    // "Выйти" closes.
    WatchClose(installed);
    installed.aExit->trigger();
    EXPECT_TRUE(closed_);
}

TEST_F(Startup, ASecondStartsRestoreRequestShowsTheWindowFromTheTray) {
    StoreSettings(2, kUsb);
    TfrmGprsMain& w = Start();
    w.MinimizeApplication();
    QApplication::processEvents();
    ASSERT_FALSE(w.isVisible());
    // A second start's requests, through the instance's socket to the
    // window's handlers, as the program wires them.
    const TTopLevelWindow listener(
        kMainWindowClass, kApplicationTitle,
        {[&w] { w.RestoreApplication(); },
         [&w] {
             w.raise();
             w.activateWindow();
         },
         [&w](UINT msg, WPARAM wParam, LPARAM lParam) { return w.WndProc(msg, wParam, lParam); }});
    ASSERT_TRUE(listener.Listening());
    std::atomic<bool> sent{false};
    std::thread second([&] {
        if (auto running = TRemoteWindow::Find(kMainWindowClass, kApplicationTitle)) {
            (void)running->ShowNormal();
            (void)running->SetForeground();
            (void)running->SendMessage(WM_RESTORE_APP, 0, 0);
        }
        sent = true;
    });
    EXPECT_TRUE(WaitFor([&] { return sent.load(); }));
    second.join();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_FALSE(w.aRestore->isEnabled());
}

#pragma once

// A main window on a fresh machine root with the real remote access service
// and a quick simulated network.

#include "QtTestApp.h"
#include "RasTestRoot.h"

#include "app/fGprsMain.h"
#include "connection/ui/ConnectionWindow.h"
#include "connection/TStatThread.h"
#include "dialogs/TfrmMsg.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/registry/Registry.h"
#include "ras/RasBinding.h"
#include "ras/TRasThread.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A log line holding `part`.
inline bool HasLine(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// Active connections the service knows of.
inline std::vector<HRASCONN> ServiceConnections() {
    std::vector<HRASCONN> handles;
    sp::Ras2k::RASCONN conns[8]{};
    for (auto& c : conns)
        c.dwSize = sizeof(sp::Ras2k::RASCONN);
    DWORD size = sizeof conns;
    DWORD count = 0;
    if (sp::Ras2k::RasEnumConnectionsA(conns, &size, &count) == 0)
        for (DWORD i = 0; i < count; ++i)
            handles.push_back(conns[i].hrasconn);
    return handles;
}

// A left click as a person makes it, in the middle unless told where.
inline void Click(QWidget* widget, QPoint at = {}) {
    if (at.isNull())
        at = widget->rect().center();
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ServiceBuilt())
            GTEST_SKIP() << "remote access service not built";
        root_ = std::make_unique<RasTestRoot>(501, true);
        sp::ras::EnsureDefaultMachine();
        UseHomeInRoot();
        Network("Service", "StateDelayMs", "5");
        Network("Service", "TickMs", "20");
        // Nobody answers on the update server's port: requests fail at once.
        ::setenv("SKYPORTAL_UPDATE_HOST", "127.0.0.1", 1);
        sp::SetRasRoundLength(std::chrono::milliseconds(20));
        sp::SetConnectionRoundLength(std::chrono::milliseconds(10));
        sp::SetNextMsgAnswer(std::nullopt);
        WatchForForgottenBoxes();
    }

    // A modal box that no test answers would hold the whole run until its
    // time-out: after 30 s it fails the test with its text and is closed.
    void WatchForForgottenBoxes() {
        watchdog_ = std::make_unique<QTimer>();
        watchdog_->setInterval(500);
        QObject::connect(watchdog_.get(), &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != watched_) {
                watched_ = modal;
                watchedSince_ = std::chrono::steady_clock::now();
                return;
            }
            if (!modal || std::chrono::steady_clock::now() - watchedSince_ < std::chrono::seconds(30))
                return;
            QString text;
            for (const QLabel* label : modal->findChildren<QLabel*>())
                text += label->text() + QLatin1Char(' ');
            ADD_FAILURE() << "a modal window stayed open 30 s unanswered: " << text.toStdString();
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
            watched_ = nullptr;
        });
        watchdog_->start();
    }

    // The wizard's entries go into the user's desktop and autostart
    // folders: this user's home is inside the machine root.
    void UseHomeInRoot() {
        ::setenv("HOME", (root_->Path() / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_->Path() / "home" / ".config").c_str(), 1);
        ::unsetenv("XDG_DESKTOP_DIR");
    }

    void TearDown() override {
        watchdog_.reset();
        CloseWindow();
        sp::SetProgressFailureHook({});
        sp::SetNextMsgAnswer(std::nullopt);
        sp::SetConnectionRoundLength(std::chrono::milliseconds(500));
        sp::SetRasRoundLength(std::chrono::milliseconds(500));
        root_.reset();
    }

    static void Network(const std::string& section, const std::string& key, const std::string& value) {
        const auto path = sp::MachineRoot() / "network.ini";
        sp::IniFile net = sp::IniFile::Load(path);
        net.Set(section, key, value);
        ASSERT_TRUE(net.Save(path));
    }

    // What a previous run left in the settings (plain with "/r"? no: the
    // window enciphers, so it writes them itself).
    static void StoreSettings(uint8_t stage, const std::string& modem = "USB GPRS Modem") {
        sp::TfrmGprsMain w;
        w.FStage = stage;
        w.FModem = modem;
        w.SaveSettings();
    }

    static bool SettingsKeyExists() {
        sp::TRegistry reg;
        reg.SetRootKey(sp::RegHive::LocalMachine);
        return reg.KeyExists("\\Software\\Zentora\\Skyportal");
    }

    // FormCreate as at a start; the window shows itself.
    sp::TfrmGprsMain& Start() {
        w_ = std::make_unique<sp::TfrmGprsMain>();
        w_->FormCreate();
        return *w_;
    }

    // The window goes; its statistics thread ends soon after, before the
    // machine root does.
    void CloseWindow() {
        if (!w_)
            return;
        std::shared_ptr<sp::TStatThread> thread = w_->FStatThread;
        w_.reset();
        for (int i = 0; thread && !thread->Finished() && i < 2000; ++i) {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Runs the event loop until done() holds (or about 20 s passed).
    static bool WaitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 4000; ++i) {
            if (done())
                return true;
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }

    std::unique_ptr<RasTestRoot> root_;
    std::unique_ptr<sp::TfrmGprsMain> w_;
    std::unique_ptr<QTimer> watchdog_;
    QWidget* watched_ = nullptr;
    std::chrono::steady_clock::time_point watchedSince_{};
};

// The texts of every message box shown from now on; each is closed with its
// first button as a person would answer.
class MsgBoxRecorder {
public:
    MsgBoxRecorder() {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            auto* box = qobject_cast<sp::TfrmMsg*>(modal);
            if (box == nullptr || !box->isVisible())
                return;
            texts.push_back(box->lblMsg()->text().toStdString());
            box->done(sp::mrOk);
        });
        timer_.start();
    }
    std::vector<std::string> texts;

private:
    QTimer timer_;
};

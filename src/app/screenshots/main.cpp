// Walks the main window through its pages and stages on a fresh simulated
// machine and saves each as a PNG file:  skyportal-screenshots DIR
// Needs a real display (the screenshot script runs it under Xvfb), because
// the dialling picture shows the progress window above the main window.

#include "app/TBalanceAction.h"
#include "app/fGprsMain.h"
#include "connection/ui/ConnectionWindow.h"
#include "controls/TGPRSButton.h"
#include "controls/TGraphPanel.h"
#include "dialogs/TfrmProgress.h"
#include "platform/base/CommandLine.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/base/ProgramInfo.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/TrafficHistory.h"
#include "history/TDayChart.h"
#include "history/TfrmTrafficStats.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QListWidget>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

using namespace sp;
namespace fs = std::filesystem;

namespace {

QString gDir;
int gFailures = 0;

void Settle(int ms = 100) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

void Save(const QPixmap& picture, const char* name) {
    const QString file = gDir + QLatin1Char('/') + QString::fromLatin1(name);
    if (picture.isNull() || !picture.save(file)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(file));
        ++gFailures;
        return;
    }
    std::printf("%s\n", qPrintable(file));
}

void Shot(TfrmGprsMain& w, const char* name) {
    w.UpdatePage();
    Settle();
    Save(w.grab(), name);
}

// The part of the screen that holds the main window and the progress window.
void ScreenShot(TfrmGprsMain& w, const char* name) {
    QRect area = w.frameGeometry();
    if (TfrmProgress* progress = ProgressForm())
        area = area.united(progress->frameGeometry());
    Save(QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()),
         name);
}

void SetNetwork(const std::string& section, const std::string& key, const std::string& value) {
    const auto path = MachineRoot() / "network.ini";
    IniFile net = IniFile::Load(path);
    net.Set(section, key, value);
    (void)net.Save(path);
}

// Three weeks of a subscriber's sessions, written the way the service
// writes them, so the statistics window has something to show.
void SeedHistory() {
    int64_t now = static_cast<int64_t>(std::time(nullptr)) - 40 * 86400;
    ras::TrafficHistory h(ras::TrafficHistory::DefaultPath(), true, [&now] { return now; });
    uint32_t seed = 7;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    (void)h.Change(ras::HistorySetting::Limit, 2ull << 30, "");
    // The current cycle began three weeks ago.
    const std::time_t first = static_cast<std::time_t>(now + 19 * 86400);
    std::tm tm{};
    ::localtime_r(&first, &tm);
    (void)h.Change(ras::HistorySetting::CycleDay, static_cast<uint64_t>(std::min(tm.tm_mday, 28)), "");
    for (uint32_t day = 0; day < 40; ++day) {
        for (uint32_t s = 0; s < 2 + next() % 3; ++s) {
            const uint32_t key = day * 10 + s + 1;
            h.Begin(key, "Zentora", "USB GPRS Modem", "internet");
            const uint64_t rx = (next() % 60 + 5) * 1024 * 1024 / (s + 1);
            now += 1200 + next() % 3600;
            h.Observe(key, {rx, rx / 9});
            h.End(key, s == 1 && day % 6 == 0 ? "dropped:629" : "hangup");
            now += 3600;
        }
        now = now - now % 86400 + 86400 + 8 * 3600;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (AnswerHelpOrVersion(argc, argv, "skyportal-screenshots",
                            "usage: skyportal-screenshots DIR\n"
                            "Walks a fresh simulated machine through every page and stage and writes the\n"
                            "pictures into DIR (run it under an X server; scripts/screenshots/take does).\n"))
        return 0;
    if (argc != 2) {
        std::fprintf(stderr, "usage: skyportal-screenshots DIR\n");
        return 2;
    }
    gDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(gDir)) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", argv[1]);
        return 1;
    }
    std::string tmpl = (fs::temp_directory_path() / "sp-shots-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        return 1;
    const fs::path root = tmpl;
    ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
    // The update server is not asked: nothing listens there.
    ::setenv("SKYPORTAL_UPDATE_HOST", "127.0.0.1", 1);

    char program[] = "skyportal";
    char* args[] = {program, nullptr};
    SetCommandLine(1, args);
    int qtArgc = 1;
    QApplication app(qtArgc, args);
    InitRasGlobals();
    ras::EnsureDefaultMachine();
    {
        // "Далее" is pressed with every box ticked: the entries stay inside
        // the throwaway machine, out of the user's desktop.
        const auto path = MachineRoot() / "machine.ini";
        IniFile machine = IniFile::Load(path);
        for (const char* key : {"Desktop", "Startup", "CommonDesktop", "CommonStartup"})
            machine.Set("folders", key, (root / "home" / key).string());
        (void)machine.Save(path);
    }
    SeedHistory();
    // Slow enough states for the dialling picture, a lively graph.
    SetNetwork("Service", "StateDelayMs", "400");
    SetNetwork("USB GPRS Modem", "Traffic", "bursty");
    SetNetwork("USB GPRS Modem", "RxRate", "6000");
    SetNetwork("Service", "TickMs", "100");
    // A failed dial is reported, not shown modally to nobody.
    SetProgressFailureHook([](TfrmProgress& form) {
        std::fprintf(stderr, "screenshots: dial failed: %s\n", qPrintable(form.lblProgress()->text()));
    });

    {
        TfrmGprsMain w;
        w.FormCreate();
        w.move(40, 40);
        WaitFor([&] { return w.isVisible(); });
        Settle(300);
        Shot(w, "main-agreement.png");

        w.scrollUA->setValue(w.scrollUA->maximum());
        Shot(w, "main-agreement-end.png");

        w.btnAgreeClick();
        // The list shows the first modem chosen.
        w.lbConnections->setCurrentRow(0);
        Shot(w, "main-installation.png");

        w.aNextExecute();
        Shot(w, "main-disconnected.png");

        QTimer::singleShot(1500, [&w] { ScreenShot(w, "main-dialling.png"); });
        w.aConnectExecute();
        if (w.FConn == 0) {
            std::fprintf(stderr, "screenshots: the dial failed\n");
            ++gFailures;
        }
        // Samples every 160 ms instead of every 2 s, so the graph fills.
        SetConnectionRoundLength(std::chrono::milliseconds(40));
        WaitFor([&] { return w.gpnlStat->Samples().size() >= 40; });
        Shot(w, "main-connected.png");

        w.aTrafficStatsExecute();
        TfrmTrafficStats* stats = w.TrafficStats();
        w.move(800, 700); // out of the picture's way
        stats->move(20, 20);
        WaitFor([&] { return stats->isVisible(); });
        Settle(300);
        // The pointer over the chart's busiest day.
        int busiest = 0;
        for (size_t i = 0; i < stats->chartDays->Days().size(); ++i) {
            const auto& d = stats->chartDays->Days()[i];
            const auto& b = stats->chartDays->Days()[static_cast<size_t>(busiest)];
            if (d.rx + d.tx > b.rx + b.tx)
                busiest = static_cast<int>(i);
        }
        for (int x = 0; x < stats->chartDays->width(); ++x) {
            if (stats->chartDays->DayAt(x) == busiest) {
                const QPoint at(x + 3, stats->chartDays->height() / 2);
                QMouseEvent move(QEvent::MouseMove, at, stats->chartDays->mapToGlobal(at), Qt::NoButton,
                                 Qt::NoButton, Qt::NoModifier);
                QApplication::sendEvent(stats->chartDays, &move);
                break;
            }
        }
        Settle(700);
        {
            const QRect area = stats->frameGeometry();
            Save(QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()),
                 "traffic-stats.png");
        }
        stats->tabs->setCurrentIndex(1);
        Save(stats->grab(), "traffic-stats-cycles.png");
        stats->close();
        Settle(100);

        w.aConnectExecute();
        // The balance from the tray's menu: the network's answer over the main page.
        {
            w.move(40, 40);
            Settle(200);
            bool shown = false;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    if (shown || !top->isVisible() || top->windowTitle() != QStringLiteral("Информация"))
                        continue;
                    shown = true;
                    top->move(w.frameGeometry().center() - top->rect().center());
                    Settle(300);
                    const QRect area = w.frameGeometry().united(top->frameGeometry());
                    Save(QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                                      area.height()),
                         "balance.png");
                    top->close();
                }
            });
            poll.start(50);
            bool done = false;
            QObject::connect(w.aBalance, &TBalanceAction::Done, [&done] { done = true; });
            w.aBalance->trigger();
            WaitFor([&] { return done; });
            if (!shown) {
                std::fprintf(stderr, "screenshots: no balance box\n");
                ++gFailures;
            }
        }
        w.lblSettingsClick();
        Shot(w, "main-settings.png");
        w.aSvcOKExecute();
        w.lblAboutClick();
        Shot(w, "main-about.png");
        w.Label12Click();
        w.FStage = 3; // nothing to keep of this machine
        w.close();
    }

    // Let the service go with its machine.
    const std::string stop = "SKYPORTAL_ROOT='" + root.string() + "' '" +
                             (fs::path(ProgramFile()).parent_path() / "rasctl").string() +
                             "' service stop >/dev/null 2>&1";
    (void)std::system(stop.c_str());
    std::error_code ec;
    fs::remove_all(root, ec);
    return gFailures == 0 ? 0 : 1;
}

// "Отчёт для службы поддержки..." in the tray menu: the report in the
// desktop folder, where it is in the message box, its folder opened; a
// failure in the box; the window alive while the tool runs.

#include "FileText.h"
#include "MainWindowFixture.h"

#include "app/TReportAction.h"

#include <QElapsedTimer>
#include <QMenu>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace sp;
namespace fs = std::filesystem;

namespace {

void WriteScript(const fs::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
}

} // namespace

class ReportAction : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        if (IsSkipped())
            return;
        if (const char* h = std::getenv("HOME"))
            oldHome_ = h;
        home_ = root_->Path() / "home";
        fs::create_directories(home_);
        ::setenv("HOME", home_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
        // The "open" verb records what it was given.
        opened_ = root_->Path() / "opened";
        WriteScript(root_->Path() / "open", "echo \"$1\" > '" + opened_.string() + "'");
        ::setenv("SKYPORTAL_OPEN", (root_->Path() / "open").c_str(), 1);
    }

    void TearDown() override {
        ::unsetenv("SKYPORTAL_OPEN");
        ::unsetenv("SKYPORTAL_REPORT");
        ::unsetenv("XDG_CONFIG_HOME");
        if (!oldHome_.empty())
            ::setenv("HOME", oldHome_.c_str(), 1);
        MainWindowTest::TearDown();
    }

    // The item of the tray menu; Done is counted.
    TReportAction* Item(TfrmGprsMain& w) {
        auto* item = w.findChild<TReportAction*>();
        if (item != nullptr)
            QObject::connect(item, &TReportAction::Done, [this] { ++done_; });
        return item;
    }

    fs::path home_, opened_;
    std::string oldHome_;
    int done_ = 0;
};

TEST_F(ReportAction, TheTrayItemWritesTheReportOnTheDesktopSaysWhereAndOpensTheFolder) {
    TfrmGprsMain& w = Start();
    TReportAction* item = Item(w);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text().toStdString(), "Отчёт для службы поддержки...");
    const QList<QAction*> menu = w.pmMain->actions();
    ASSERT_TRUE(menu.contains(item));
    EXPECT_EQ(menu.value(menu.indexOf(item) + 1), w.aExit);

    fs::create_directories(home_ / "Desktop");
    MsgBoxRecorder boxes;
    item->trigger();
    EXPECT_FALSE(item->isEnabled()) << "one report at a time";
    ASSERT_TRUE(WaitFor([&] { return done_ == 1; }));
    ASSERT_EQ(boxes.texts.size(), 1u);
    const std::string said = "Отчёт сохранён: ";
    ASSERT_EQ(boxes.texts[0].substr(0, said.size()), said);
    const fs::path report = boxes.texts[0].substr(said.size());
    EXPECT_EQ(report.parent_path(), home_ / "Desktop");
    EXPECT_TRUE(report.filename().string().starts_with("skyportal-report-")) << report;
    EXPECT_TRUE(fs::is_regular_file(report));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(opened_); }));
    EXPECT_EQ(ReadFile(opened_), (home_ / "Desktop").string() + "\n");
    EXPECT_TRUE(item->isEnabled());
}

TEST_F(ReportAction, AFailureIsSaidInTheBoxAndTheWindowStaysAliveMeanwhile) {
    // A stand-in that takes its time, then fails as the tool does.
    const fs::path tool = root_->Path() / "report-tool";
    WriteScript(
        tool, "sleep 1\necho 'skyportal-report: no report written: cannot write /x/r.tar.gz: No such file or "
              "directory' >&2\nexit 1");
    ::setenv("SKYPORTAL_REPORT", tool.c_str(), 1);
    TfrmGprsMain& w = Start();
    TReportAction* item = Item(w);
    ASSERT_NE(item, nullptr);

    MsgBoxRecorder boxes;
    int ticks = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++ticks; });
    beat.start(50);
    QElapsedTimer clock;
    clock.start();
    item->trigger();
    EXPECT_LT(clock.elapsed(), 500) << "the menu item must not wait for the tool";
    ASSERT_TRUE(WaitFor([&] { return done_ == 1; }));
    EXPECT_GE(ticks, 10) << "the event loop ran while the tool did";
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(
        boxes.texts[0],
        "Ошибка: отчёт не сохранён: no report written: cannot write /x/r.tar.gz: No such file or directory");
    EXPECT_FALSE(fs::exists(opened_));
}

TEST_F(ReportAction, AToolThatDoesNotEndIsStoppedAtTheLimitAndTheBoxSaysSo) {
    const fs::path tool = root_->Path() / "report-tool";
    WriteScript(tool, "exec sleep 60");
    ::setenv("SKYPORTAL_REPORT", tool.c_str(), 1);
    TfrmGprsMain& w = Start();
    TReportAction* item = Item(w);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(TReportAction::kTimeLimit, std::chrono::seconds(60));
    item->SetTimeLimit(std::chrono::seconds(1));

    MsgBoxRecorder boxes;
    item->trigger();
    ASSERT_TRUE(WaitFor([&] { return done_ == 1; }));
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0],
              "Ошибка: отчёт не сохранён: программа skyportal-report не закончила отчёт за 1 с и остановлена");
    EXPECT_TRUE(item->isEnabled());
}

#pragma once

#include <QAction>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <chrono>

namespace sp {

// "Отчёт для службы поддержки..." of the tray menu: skyportal-report runs as
// a process of its own, so the window stays alive meanwhile; then the
// program's message box says where the report is (or why there is none) and
// its folder is opened with the "open" verb. A tool that has not ended
// within the time limit (a file it cannot get through) is stopped, and the
// box says so.
class TReportAction : public QAction {
    Q_OBJECT

public:
    explicit TReportAction(QObject* parent);
    // A report still being made is stopped; the tool leaves no partial file.
    ~TReportAction() override;

    // $SKYPORTAL_REPORT, else skyportal-report beside the program, in the
    // build's or the installation's bin folder, or on the PATH; empty when
    // none is found.
    [[nodiscard]] static QString ToolPath();

    static constexpr std::chrono::milliseconds kTimeLimit{60000};
    // Tests shorten the limit.
    void SetTimeLimit(std::chrono::milliseconds limit) { FTimeLimit = limit; }

signals:
    // After the message box was answered (tests wait for it).
    void Done();

private:
    void Start();
    void Finished(int exitCode, QProcess::ExitStatus status);
    void Report(bool ok, const QString& text);

    QProcess* FProcess = nullptr;
    QTimer FLimit;
    std::chrono::milliseconds FTimeLimit = kTimeLimit;
    bool FStopped = false; // ended for the time limit
};

} // namespace sp

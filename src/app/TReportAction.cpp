#include "app/TReportAction.h"

#include "app/BundledTool.h"
#include "dialogs/TfrmMsg.h"
#include "platform/base/CommandLine.h"
#include "platform/system/Shell.h"

#include <QFileInfo>

namespace sp {

namespace {

constexpr const char* kToolName = "skyportal-report";

} // namespace

TReportAction::TReportAction(QObject* parent)
    : QAction(QStringLiteral("Отчёт для службы поддержки..."), parent) {
    connect(this, &QAction::triggered, this, &TReportAction::Start);
    FLimit.setSingleShot(true);
    connect(&FLimit, &QTimer::timeout, this, [this] {
        if (FProcess == nullptr)
            return;
        FStopped = true;
        FProcess->terminate();
        // One that ignores the request is ended all the same.
        QTimer::singleShot(2000, FProcess, [p = FProcess] { p->kill(); });
    });
}

TReportAction::~TReportAction() {
    if (FProcess != nullptr && FProcess->state() != QProcess::NotRunning) {
        FProcess->disconnect(this);
        FProcess->terminate();
        if (!FProcess->waitForFinished(2000))
            FProcess->kill();
        FProcess->waitForFinished(1000);
    }
}

QString TReportAction::ToolPath() { return BundledToolPath("SKYPORTAL_REPORT", kToolName); }

void TReportAction::Start() {
    if (FProcess != nullptr)
        return;
    const QString tool = ToolPath();
    if (tool.isEmpty()) {
        Report(false, QStringLiteral("программа %1 не найдена").arg(QLatin1String(kToolName)));
        emit Done();
        return;
    }
    setEnabled(false);
    FProcess = new QProcess(this);
    FProcess->setProgram(tool);
    FProcess->setArguments({QStringLiteral("--program"), QString::fromStdString(ProgramFile())});
    connect(FProcess, &QProcess::finished, this, &TReportAction::Finished);
    connect(FProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            Finished(-1, QProcess::CrashExit);
    });
    FStopped = false;
    FProcess->start(QIODevice::ReadOnly);
    FLimit.start(FTimeLimit);
}

void TReportAction::Finished(int exitCode, QProcess::ExitStatus status) {
    QProcess* process = FProcess;
    if (process == nullptr)
        return;
    FProcess = nullptr;
    FLimit.stop();
    const QString out = QString::fromUtf8(process->readAllStandardOutput()).trimmed();
    QString err = QString::fromUtf8(process->readAllStandardError()).trimmed();
    if (status != QProcess::NormalExit && err.isEmpty())
        err = process->errorString();
    process->deleteLater();
    setEnabled(true);
    if (FStopped) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(FTimeLimit).count();
        Report(false, QStringLiteral("программа %1 не закончила отчёт за %2 с и остановлена")
                          .arg(QLatin1String(kToolName))
                          .arg(seconds));
    } else if (status == QProcess::NormalExit && exitCode == 0 && !out.isEmpty()) {
        const QString path = out.section(QLatin1Char('\n'), -1);
        Report(true, path);
        ShellExecuteOpen(QFileInfo(path).absolutePath().toStdString());
    } else {
        // The tool's own words name the cause (a folder that cannot be written).
        err.remove(QStringLiteral("skyportal-report: "));
        Report(false, err.section(QLatin1Char('\n'), 0, 0));
    }
    emit Done();
}

void TReportAction::Report(bool ok, const QString& text) {
    if (ok)
        ShowMsg(QStringLiteral("Отчёт сохранён: ") + text, MsgKind::Info, {MsgButton::Ok});
    else
        ShowMsg(QStringLiteral("Ошибка: отчёт не сохранён") +
                    (text.isEmpty() ? QString() : QStringLiteral(": ") + text),
                MsgKind::Error, {MsgButton::Ok});
}

} // namespace sp

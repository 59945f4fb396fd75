#include "app/TBalanceAction.h"

#include "app/BundledTool.h"
#include "dialogs/TfrmMsg.h"
#include "log/EventLog.h"
#include "platform/rasapi/ModemReading.h"
#include "platform/rasapi/ras.h"
#include "ras/RasErrors.h"

#include <QRegularExpression>

namespace sp {

namespace {

constexpr const char* kToolName = "rasctl";

} // namespace

TBalanceAction::TBalanceAction(std::function<std::string()> modem, QObject* parent)
    : QAction(QStringLiteral("Баланс счёта"), parent), FModem(std::move(modem)) {
    connect(this, &QAction::triggered, this, &TBalanceAction::Start);
    FLimit.setSingleShot(true);
    connect(&FLimit, &QTimer::timeout, this, [this] {
        if (FProcess != nullptr)
            FProcess->kill();
    });
}

TBalanceAction::~TBalanceAction() {
    if (FProcess != nullptr && FProcess->state() != QProcess::NotRunning) {
        FProcess->disconnect(this);
        FProcess->kill();
        FProcess->waitForFinished(1000);
    }
}

QString TBalanceAction::ToolPath() { return BundledToolPath("SKYPORTAL_RASCTL", kToolName); }

QString TBalanceAction::FailureText(const QString& rasctlError) {
    static const QRegularExpression kCode(QStringLiteral("^rasctl: (\\d{1,4})\\b"));
    const QRegularExpressionMatch m = kCode.match(rasctlError);
    const int code = m.hasMatch() ? m.captured(1).toInt() : 0;
    switch (code) {
    case 0: break;
    case 711: return QStringLiteral("служба удалённого доступа не отвечает");
    case 638: return QStringLiteral("сеть не ответила за 20 с");
    case 608: return QStringLiteral("модем не найден");
    case 633: return QStringLiteral("модем занят другой программой");
    default: {
        const std::string text = GetRasErrorDescr(code);
        if (!text.empty())
            return QString::fromStdString(text);
        break;
    }
    }
    return rasctlError.isEmpty() ? QStringLiteral("модем не ответил") : rasctlError.section(QLatin1Char('\n'), 0, 0);
}

void TBalanceAction::Start() {
    if (FProcess != nullptr)
        return;
    const std::string modem = FModem ? FModem() : std::string();
    if (modem.empty() || modem == "Unknown") {
        ShowMsg(QStringLiteral("Ошибка: баланс не получен: модем не выбран"), MsgKind::Error, {MsgButton::Ok});
        emit Done();
        return;
    }
    const QString tool = ToolPath();
    if (tool.isEmpty()) {
        ShowMsg(QStringLiteral("Ошибка: баланс не получен: программа rasctl не найдена"), MsgKind::Error,
                {MsgButton::Ok});
        emit Done();
        return;
    }
    setEnabled(false);
    FProcess = new QProcess(this);
    FProcess->setProgram(tool);
    // The code is the operator's, as network.ini names it for the modem.
    FProcess->setArguments({QStringLiteral("ussd"), QString::fromStdString(modem)});
    connect(FProcess, &QProcess::finished, this, &TBalanceAction::Finished);
    connect(FProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            Finished(-1, QProcess::CrashExit);
    });
    FProcess->start(QIODevice::ReadOnly);
    FLimit.start(kTimeLimit);
}

void TBalanceAction::Finished(int exitCode, QProcess::ExitStatus status) {
    QProcess* process = FProcess;
    if (process == nullptr)
        return;
    FProcess = nullptr;
    FLimit.stop();
    // rasctl's answer is one line, bounded by the service; bound it here too.
    const QString out = QString::fromUtf8(process->readAllStandardOutput().left(4096)).trimmed();
    const QString err = QString::fromUtf8(process->readAllStandardError().left(4096)).trimmed();
    process->deleteLater();
    setEnabled(true);
    if (status == QProcess::NormalExit && exitCode == 0 && !out.isEmpty()) {
        const QString answer = out.section(QLatin1Char('\n'), 0, 0);
        WriteLog("USSD", 0, answer.toStdString());
        ShowMsg(answer, MsgKind::Info, {MsgButton::Ok});
    } else {
        const QString why = FailureText(err);
        WriteLog("USSD", 0, "no answer: " + err.section(QLatin1Char('\n'), 0, 0).toStdString());
        ShowMsg(QStringLiteral("Ошибка: баланс не получен: ") + why, MsgKind::Error, {MsgButton::Ok});
    }
    emit Done();
}

} // namespace sp

#pragma once

#include <QAction>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>

namespace sp {

// "Баланс счёта" of the tray menu: the operator's balance code goes to the
// chosen modem by USSD (`rasctl ussd`, as a process of its own, so the window
// stays alive for the network's answer), and the program's message box shows
// the network's answer, or why there is none.
class TBalanceAction : public QAction {
    Q_OBJECT

public:
    // `modem` names the program's modem at the moment of the question.
    TBalanceAction(std::function<std::string()> modem, QObject* parent);
    ~TBalanceAction() override;

    // $SKYPORTAL_RASCTL, else rasctl beside the program, in the build's or
    // the installation's bin folder, or on the PATH; empty when none is found.
    [[nodiscard]] static QString ToolPath();

    // The service gives the network 20 s; this only outlasts it.
    static constexpr std::chrono::milliseconds kTimeLimit{30000};

    // The message box's text for rasctl's error line ("rasctl: 966 ...").
    [[nodiscard]] static QString FailureText(const QString& rasctlError);

signals:
    // After the message box was answered (tests wait for it).
    void Done();

private:
    void Start();
    void Finished(int exitCode, QProcess::ExitStatus status);

    std::function<std::string()> FModem;
    QProcess* FProcess = nullptr;
    QTimer FLimit;
};

} // namespace sp

#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>

namespace sp {

// Watches the service's count of the billing cycle for the program: the
// warnings at 80 % and 100 % of the limit (once per cycle: the service
// remembers what was told), and the clear message when the service hung up
// at the limit. One short question to the service per round.
class THistoryWatch : public QObject {
    Q_OBJECT

public:
    struct Sinks {
        std::function<void(const QString&)> tray;    // a tray message
        std::function<void(const std::string&)> log; // a line of the program's log
        std::function<void(const QString&)> hungUp;  // the message of a hang-up at the limit
        // Whether the program has a link up (its loss will tell of a hang-up).
        std::function<bool()> linkUp;
    };

    explicit THistoryWatch(Sinks sinks, QObject* parent = nullptr);

    // Rounds every interval, the first one interval from now.
    void Start(std::chrono::milliseconds interval = std::chrono::seconds(10));
    // One round: tells what is new. True when the link was hung up at the
    // limit and it has been told now.
    bool Poll(bool tellHangUp);

private:
    Sinks sinks_;
    QTimer timer_;
    bool firstRound_ = true;
};

} // namespace sp

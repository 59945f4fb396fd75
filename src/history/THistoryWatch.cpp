#include "history/THistoryWatch.h"

#include "history/HistoryTexts.h"
#include "platform/rasapi/TrafficHistoryQuery.h"

namespace sp {

THistoryWatch::THistoryWatch(Sinks sinks, QObject* parent) : QObject(parent), sinks_(std::move(sinks))
{
    // A hang-up during the run ends a link the program watches, and the
    // loss of that link tells it; the rounds tell only one that happened
    // before the program started.
    connect(&timer_, &QTimer::timeout, this, [this] {
        const bool first = firstRound_;
        firstRound_ = false;
        Poll(first && (!sinks_.linkUp || !sinks_.linkUp()));
    });
}

void THistoryWatch::Start(std::chrono::milliseconds interval)
{
    timer_.start(interval);
}

bool THistoryWatch::Poll(bool tellHangUp)
{
    ras::HistoryUsage u;
    if (ras::QueryUsage(u) != 0 || !u.enabled)
        return false; // the service is away: the next round asks again
    const uint64_t used = u.cycle.rx + u.cycle.tx;
    const uint32_t level = u.Level();
    if (level > u.toldLevel && u.cycle.limit
        && ras::ChangeHistory(ras::HistorySetting::Told, level, u.cycle.start) == 0) {
        if (sinks_.tray)
            sinks_.tray(LimitWarningText(level, used, *u.cycle.limit));
        if (sinks_.log) {
            sinks_.log("Traffic " + std::to_string(level) + "% of the limit: " + std::to_string(used) + " of "
                       + std::to_string(*u.cycle.limit) + " bytes in the cycle from " + u.cycle.start);
        }
    }
    if (!tellHangUp || !u.limitHangUpUntold
        || ras::ChangeHistory(ras::HistorySetting::LimitHangUpTold, 0, u.cycle.start) != 0)
        return false;
    if (sinks_.log)
        sinks_.log("The link was hung up at the traffic limit of the cycle from " + u.cycle.start);
    if (sinks_.hungUp)
        sinks_.hungUp(LimitHangUpText(u.cycle.limit.value_or(0)));
    return true;
}

} // namespace sp

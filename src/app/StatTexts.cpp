#include "app/StatTexts.h"

#include <cmath>
#include <cstdint>

namespace sp {
namespace {

constexpr int64_t kMSecsPerDay = 24LL * 60 * 60 * 1000;

// Milliseconds since midnight of a date-time value, rounded to the
// millisecond as the date-time decoding does.
int64_t TimeOfDayMs(double days) {
    const double fraction = std::fabs(days - std::trunc(days));
    return std::llround(fraction * static_cast<double>(kMSecsPerDay)) % kMSecsPerDay;
}

// Rounded to the nearest integer, halves to the even neighbour (the default
// rounding mode).
uint64_t RoundEven(double value) {
    return static_cast<uint64_t>(std::nearbyint(value));
}

uint64_t RoundUp(uint64_t value, uint64_t unit) {
    return (value + unit - 1) / unit;
}

} // namespace

QString ConnTimeText(double days) {
    const int64_t ms = TimeOfDayMs(days);
    const int64_t hours = ms / 3600000;
    const int64_t minutes = ms / 60000 % 60;
    return QStringLiteral("%1 часов %2 минут").arg(hours).arg(minutes, 2, 10, QLatin1Char('0'));
}

QString LongTimeText(double days) {
    const int64_t ms = TimeOfDayMs(days);
    return QStringLiteral("%1:%2:%3")
        .arg(ms / 3600000)
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'));
}

QString MaxSpeedText(uint32_t speed) {
    QString text;
    if (speed > 9'000'000)
        text = QString::number(RoundEven(speed / 1048576.0)) + QStringLiteral(" M");
    else if (speed > 9'000)
        text = QString::number(RoundEven(speed / 1024.0)) + QStringLiteral(" K");
    else
        text = QString::number(speed) + QStringLiteral(" ");
    return text + QStringLiteral("байт/сек");
}

QString BytesText(uint32_t bytes) {
    if (bytes <= 10'000)
        return QString::number(bytes) + QStringLiteral(" байт");
    return QString::number(RoundEven(bytes / 1024.0)) + QStringLiteral(" Kбайт");
}

QString GraphHintText(uint32_t speed) {
    if (speed > 10'000'000)
        return QStringLiteral("%1 Мбайт/сек").arg(RoundUp(speed, 1048576));
    if (speed > 100'000)
        return QStringLiteral("%1 Kбайт/сек").arg(RoundUp(speed, 1024));
    return QStringLiteral("%1 байт/сек").arg(speed);
}

} // namespace sp

#include "history/HistoryTexts.h"

#include <QDate>

namespace sp {

QString HistorySize(uint64_t bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 байт").arg(bytes);
    static const QString kUnits[] = {QStringLiteral("Кбайт"), QStringLiteral("Мбайт"), QStringLiteral("Гбайт")};
    double v = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (v >= 1024 && unit + 1 < std::size(kUnits)) {
        v /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(QString::number(v, 'f', v < 10 ? 2 : 1).replace(u'.', u','), kUnits[unit]);
}

QString HistoryDate(const std::string& isoDate)
{
    const QDate d = QDate::fromString(QString::fromStdString(isoDate), Qt::ISODate);
    return d.isValid() ? d.toString(QStringLiteral("dd.MM.yyyy")) : QString::fromStdString(isoDate);
}

QString LimitWarningText(uint32_t level, uint64_t used, uint64_t limit)
{
    if (level >= 100)
        return QStringLiteral("Лимит трафика за расчётный период исчерпан: израсходовано %1 из %2.")
            .arg(HistorySize(used), HistorySize(limit));
    return QStringLiteral("Израсходовано 80 % лимита трафика за расчётный период: %1 из %2.")
        .arg(HistorySize(used), HistorySize(limit));
}

QString LimitHangUpText(uint64_t limit)
{
    return QStringLiteral("Соединение разорвано: исчерпан лимит трафика за расчётный период (%1). "
                          "Чтобы продолжить работу, подключитесь снова.")
        .arg(HistorySize(limit));
}

QString ModemReadingText(const ras::ModemReading& r)
{
    if (!r.Known())
        return {};
    using ras::Registration;
    using ras::SimState;
    switch (r.sim) {
    case SimState::PinWanted: return QStringLiteral("SIM-карта запрашивает PIN-код");
    case SimState::PukWanted: return QStringLiteral("SIM-карта заблокирована (PUK-код)");
    case SimState::NoSim: return QStringLiteral("нет SIM-карты");
    default: break;
    }
    QString text;
    switch (r.registration) {
    case Registration::Home:
    case Registration::Roaming:
    case Registration::Unknown:
        text = r.operatorName.empty() ? QStringLiteral("оператор неизвестен") : QString::fromStdString(r.operatorName);
        break;
    case Registration::Searching:
    case Registration::NotRegistered: text = QStringLiteral("поиск сети"); break;
    case Registration::Denied: text = QStringLiteral("сеть отказала в регистрации"); break;
    }
    if (ras::SignalKnown(r.rssi))
        text += QStringLiteral(", сигнал %1 % (%2 дБм)").arg(ras::SignalPercent(r.rssi)).arg(ras::SignalDbm(r.rssi));
    else
        text += QStringLiteral(", сигнала нет");
    if (r.registration == Registration::Roaming)
        text += QStringLiteral(", роуминг");
    return text;
}

} // namespace sp

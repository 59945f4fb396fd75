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

} // namespace sp

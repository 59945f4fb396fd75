#include "history/TfrmTrafficStats.h"

#include "dialogs/ProgramFont.h"
#include "dialogs/TfrmMsg.h"
#include "history/HistoryTexts.h"
#include "history/TDayChart.h"
#include "history/TUsageBar.h"
#include "platform/rasapi/TrafficHistoryText.h"

#include <QCheckBox>
#include <QDate>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <map>

namespace sp {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

QTreeWidget* MakeList(const QStringList& columns, const std::vector<int>& rightAligned)
{
    auto* list = new QTreeWidget;
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setHeaderLabels(columns);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    for (const int c : rightAligned)
        list->headerItem()->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    return list;
}

QString EndedText(const std::string& ended)
{
    if (ended == "up")
        return QStringLiteral("на связи");
    if (ended == "hangup")
        return QStringLiteral("отключено");
    if (ended == "service-stopped")
        return QStringLiteral("остановка службы");
    if (ended.rfind("dropped:", 0) == 0)
        return QStringLiteral("обрыв (%1)").arg(QString::fromStdString(ended.substr(8)));
    return QString::fromStdString(ended);
}

QString Time(int64_t t) { return QString::fromStdString(ras::LocalStamp(t)).left(16); }

} // namespace

TfrmTrafficStats::TfrmTrafficStats(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Статистика трафика"));
    setFont(ProgramFont(11));
    resize(680, 560);

    lblModem = new QLabel;
    lblModem->hide();
    lblCycle = new QLabel;
    QFont bold = font();
    bold.setBold(true);
    lblCycle->setFont(bold);
    barUsage = new TUsageBar;
    lblUsage = new QLabel;
    chartDays = new TDayChart;
    chartDays->setMinimumHeight(150);
    lblNoService = new QLabel(QStringLiteral("Служба удалённого доступа не отвечает: показаны прежние данные."));
    lblNoService->setStyleSheet(QStringLiteral("color: #c82828"));
    lblNoService->hide();

    lvSessions = MakeList({QStringLiteral("Начало"), QStringLiteral("Конец"), QStringLiteral("Соединение"),
                           QStringLiteral("Устройство"), QStringLiteral("APN"), QStringLiteral("Принято"),
                           QStringLiteral("Передано"), QStringLiteral("Завершение")},
                          {5, 6});
    lvCycles = MakeList({QStringLiteral("Начало"), QStringLiteral("Конец"), QStringLiteral("Принято"),
                         QStringLiteral("Передано"), QStringLiteral("Всего"), QStringLiteral("Лимит")},
                        {2, 3, 4, 5});
    tabs = new QTabWidget;
    tabs->addTab(lvSessions, QStringLiteral("Последние сеансы"));
    tabs->addTab(lvCycles, QStringLiteral("Расчётные периоды"));

    auto* settings = new QGroupBox(QStringLiteral("Настройки"));
    chbLimit = new QCheckBox(QStringLiteral("Лимит трафика за период:"));
    seLimit = new QSpinBox;
    seLimit->setRange(1, 1024 * 1024);
    seLimit->setValue(1024);
    seLimit->setSuffix(QStringLiteral(" Мбайт"));
    seCycleDay = new QSpinBox;
    seCycleDay->setRange(1, 28);
    chbHangUp = new QCheckBox(QStringLiteral("Разрывать соединение при исчерпании лимита"));
    btnApply = new QPushButton(QStringLiteral("Применить"));
    connect(chbLimit, &QCheckBox::toggled, seLimit, &QWidget::setEnabled);
    auto* grid = new QGridLayout(settings);
    grid->addWidget(chbLimit, 0, 0);
    grid->addWidget(seLimit, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Первый день периода:")), 1, 0);
    grid->addWidget(seCycleDay, 1, 1);
    grid->addWidget(chbHangUp, 2, 0, 1, 2);
    grid->addWidget(btnApply, 2, 2, Qt::AlignRight);
    grid->setColumnStretch(2, 1);
    connect(btnApply, &QPushButton::clicked, this, [this] { ApplySettings(); });

    btnExport = new QPushButton(QStringLiteral("Экспорт в CSV..."));
    btnClose = new QPushButton(QStringLiteral("Закрыть"));
    connect(btnExport, &QPushButton::clicked, this, &TfrmTrafficStats::btnExportClick);
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnExport);
    buttons->addStretch(1);
    buttons->addWidget(btnClose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblModem);
    layout->addWidget(lblCycle);
    layout->addWidget(barUsage);
    layout->addWidget(lblUsage);
    layout->addWidget(chartDays, 2);
    layout->addWidget(tabs, 3);
    layout->addWidget(settings);
    layout->addWidget(lblNoService);
    layout->addLayout(buttons);

    refresh_.setInterval(std::chrono::seconds(10));
    connect(&refresh_, &QTimer::timeout, this, [this] { Refresh(); });
}

void TfrmTrafficStats::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
    refresh_.start();
}

void TfrmTrafficStats::hideEvent(QHideEvent* event)
{
    refresh_.stop();
    QWidget::hideEvent(event);
}

bool TfrmTrafficStats::Refresh()
{
    ras::HistoryUsage usage;
    std::vector<ras::HistoryDay> days;
    std::vector<ras::HistorySession> sessions;
    std::vector<ras::HistoryCycle> cycles;
    const bool ok = ras::QueryUsage(usage) == 0 && ras::QueryDays(62, days) == 0
        && ras::QuerySessions(ras::kDefaultSessionRows, sessions) == 0
        && ras::QueryCycles(ras::kDefaultCycleRows, cycles) == 0;
    lblNoService->setVisible(!ok);
    if (!ok)
        return false;
    ShowModem();
    ShowUsage(usage, days);
    ShowSessions(sessions);
    ShowCycles(cycles);
    if (!settingsShown_)
        ShowSettings(usage);
    return true;
}

void TfrmTrafficStats::ShowModem()
{
    ras::ModemReading r;
    // A fresh reading is waited for a moment only: this is the window's thread.
    const bool read = !modem_.empty() && modem_ != "Unknown"
        && ras::QueryModem(modem_, r, std::chrono::seconds(60), std::chrono::milliseconds(500)) == 0 && r.Known();
    lblModem->setVisible(read);
    if (!read)
        return;
    lblModem->setText(QStringLiteral("Модем: %1 — %2 (%3)")
                          .arg(QString::fromStdString(modem_), ModemReadingText(r),
                               QString::fromStdString(ras::LocalStamp(r.readAt)).mid(11, 5)));
}

void TfrmTrafficStats::ShowUsage(const ras::HistoryUsage& u, const std::vector<ras::HistoryDay>& days)
{
    lblCycle->setText(QStringLiteral("Расчётный период: %1 – %2")
                          .arg(HistoryDate(u.cycle.start), HistoryDate(u.cycle.end)));
    const uint64_t used = u.cycle.rx + u.cycle.tx;
    barUsage->SetUsage(used, u.cycle.limit);
    barUsage->setVisible(u.cycle.limit.has_value()); // nothing to measure against without a limit
    if (u.cycle.limit) {
        lblUsage->setText(QStringLiteral("Израсходовано %1 из %2 (%3 %)")
                              .arg(HistorySize(used), HistorySize(*u.cycle.limit))
                              .arg(static_cast<qulonglong>((unsigned __int128)used * 100 / *u.cycle.limit)));
    } else {
        lblUsage->setText(QStringLiteral("Израсходовано %1 (принято %2, передано %3); лимит не задан")
                              .arg(HistorySize(used), HistorySize(u.cycle.rx), HistorySize(u.cycle.tx)));
    }
    std::map<std::string, const ras::HistoryDay*> byDate;
    for (const ras::HistoryDay& d : days)
        byDate[d.date] = &d;
    std::vector<TDayChart::Day> cycleDays;
    const QDate first = QDate::fromString(QString::fromStdString(u.cycle.start), Qt::ISODate);
    const QDate last = QDate::fromString(QString::fromStdString(u.cycle.end), Qt::ISODate);
    for (QDate d = first; d.isValid() && d <= last && cycleDays.size() < 31; d = d.addDays(1)) {
        TDayChart::Day day;
        day.date = d.toString(Qt::ISODate).toStdString();
        if (const auto it = byDate.find(day.date); it != byDate.end()) {
            day.rx = it->second->rx;
            day.tx = it->second->tx;
        }
        cycleDays.push_back(std::move(day));
    }
    chartDays->SetDays(std::move(cycleDays));
}

void TfrmTrafficStats::ShowSessions(const std::vector<ras::HistorySession>& rows)
{
    lvSessions->clear();
    // The newest first: it is the one a person looks for.
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        const ras::HistorySession& s = *it;
        auto* item = new QTreeWidgetItem(lvSessions);
        item->setText(0, Time(s.start));
        item->setText(1, s.end ? Time(*s.end) : QStringLiteral("—"));
        item->setText(2, QString::fromStdString(s.entry));
        item->setText(3, QString::fromStdString(s.device));
        item->setText(4, QString::fromStdString(s.apn));
        item->setText(5, HistorySize(s.rx));
        item->setText(6, HistorySize(s.tx));
        item->setText(7, EndedText(s.ended));
        for (const int c : {5, 6})
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    }
}

void TfrmTrafficStats::ShowCycles(const std::vector<ras::HistoryCycle>& rows)
{
    lvCycles->clear();
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        const ras::HistoryCycle& c = *it;
        auto* item = new QTreeWidgetItem(lvCycles);
        item->setText(0, HistoryDate(c.start));
        item->setText(1, HistoryDate(c.end));
        item->setText(2, HistorySize(c.rx));
        item->setText(3, HistorySize(c.tx));
        item->setText(4, HistorySize(c.rx + c.tx));
        item->setText(5, c.limit ? HistorySize(*c.limit) : QStringLiteral("нет"));
        for (const int col : {2, 3, 4, 5})
            item->setTextAlignment(col, Qt::AlignRight | Qt::AlignVCenter);
    }
}

void TfrmTrafficStats::ShowSettings(const ras::HistoryUsage& u)
{
    settingsShown_ = true;
    chbLimit->setChecked(u.cycle.limit.has_value());
    seLimit->setEnabled(u.cycle.limit.has_value());
    if (u.cycle.limit)
        seLimit->setValue(static_cast<int>(std::clamp<uint64_t>((*u.cycle.limit + kMiB - 1) / kMiB, 1, 1024 * 1024)));
    seCycleDay->setValue(static_cast<int>(u.cycleDay));
    chbHangUp->setChecked(u.hangUpAtLimit);
}

bool TfrmTrafficStats::ApplySettings()
{
    const uint64_t limit = chbLimit->isChecked() ? static_cast<uint64_t>(seLimit->value()) * kMiB : 0;
    const bool ok = ras::ChangeHistory(ras::HistorySetting::Limit, limit) == 0
        && ras::ChangeHistory(ras::HistorySetting::CycleDay, static_cast<uint64_t>(seCycleDay->value())) == 0
        && ras::ChangeHistory(ras::HistorySetting::HangUpAtLimit, chbHangUp->isChecked() ? 1 : 0) == 0;
    if (!ok) {
        ShowMsg(QStringLiteral("Не удалось сохранить настройки: служба удалённого доступа не отвечает."),
                MsgKind::Error, {MsgButton::Ok});
    }
    settingsShown_ = false;
    Refresh();
    return ok;
}

bool TfrmTrafficStats::ExportCsv(ras::HistoryKind kind, const QString& path)
{
    std::string text;
    uint32_t code = 0;
    if (kind == ras::HistoryKind::Sessions) {
        std::vector<ras::HistorySession> rows;
        code = ras::QuerySessions(ras::kMaxHistoryRows, rows);
        text = ras::SessionsCsv(rows);
    } else if (kind == ras::HistoryKind::Days) {
        std::vector<ras::HistoryDay> rows;
        code = ras::QueryDays(ras::kMaxHistoryRows, rows);
        text = ras::DaysCsv(rows);
    } else {
        std::vector<ras::HistoryCycle> rows;
        code = ras::QueryCycles(ras::kMaxHistoryRows, rows);
        text = ras::CyclesCsv(rows);
    }
    if (code != 0)
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()) && file.flush();
}

void TfrmTrafficStats::btnExportClick()
{
    const QString sessions = QStringLiteral("Сеансы (*.csv)");
    const QString days = QStringLiteral("Дни (*.csv)");
    const QString cycles = QStringLiteral("Расчётные периоды (*.csv)");
    QString filter = sessions;
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Экспорт в CSV"),
                                                QStringLiteral("skyportal-traffic.csv"),
                                                sessions + QStringLiteral(";;") + days + QStringLiteral(";;") + cycles,
                                                &filter);
    if (path.isEmpty())
        return;
    if (!path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        path += QStringLiteral(".csv");
    const ras::HistoryKind kind = filter == days     ? ras::HistoryKind::Days
                                  : filter == cycles ? ras::HistoryKind::Cycles
                                                     : ras::HistoryKind::Sessions;
    if (!ExportCsv(kind, path)) {
        ShowMsg(QStringLiteral("Не удалось записать файл %1").arg(path), MsgKind::Error, {MsgButton::Ok});
    }
}

} // namespace sp

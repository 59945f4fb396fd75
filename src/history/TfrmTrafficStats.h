#pragma once

#include "platform/rasapi/TrafficHistoryQuery.h"

#include <QTimer>
#include <QWidget>

#include <chrono>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTreeWidget;

namespace sp {

class TDayChart;
class TUsageBar;

// "Статистика трафика": the billing cycle against its limit, its days as a
// chart, the last sessions and cycles, the subscriber's settings and the CSV
// export. Everything comes from the service; the window asks again every
// 10 s while it is shown and asks nothing while it is hidden or closed.
class TfrmTrafficStats : public QWidget {
    Q_OBJECT

public:
    explicit TfrmTrafficStats(QWidget* parent = nullptr);

    // Asks the service again; false when it does not answer.
    bool Refresh();
    // The settings as the controls show them, sent to the service.
    bool ApplySettings();
    // Writes one kind (sessions, days or cycles) as CSV, all rows the service has.
    bool ExportCsv(ras::HistoryKind kind, const QString& path);
    void btnExportClick();

    void SetRefreshInterval(std::chrono::milliseconds interval) { refresh_.setInterval(interval); }
    // The program's modem, whose operator and signal the window shows.
    void SetModem(const std::string& modem) { modem_ = modem; }
    [[nodiscard]] bool Following() const { return refresh_.isActive(); }

    QLabel* lblModem = nullptr;
    QLabel* lblCycle = nullptr;
    TUsageBar* barUsage = nullptr;
    QLabel* lblUsage = nullptr;
    TDayChart* chartDays = nullptr;
    QTabWidget* tabs = nullptr;
    QTreeWidget* lvSessions = nullptr;
    QTreeWidget* lvCycles = nullptr;
    QCheckBox* chbLimit = nullptr;
    QSpinBox* seLimit = nullptr; // Мбайт
    QSpinBox* seCycleDay = nullptr;
    QCheckBox* chbHangUp = nullptr;
    QPushButton* btnApply = nullptr;
    QPushButton* btnExport = nullptr;
    QPushButton* btnClose = nullptr;
    QLabel* lblNoService = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowUsage(const ras::HistoryUsage& u, const std::vector<ras::HistoryDay>& days);
    void ShowSessions(const std::vector<ras::HistorySession>& rows);
    void ShowCycles(const std::vector<ras::HistoryCycle>& rows);
    void ShowSettings(const ras::HistoryUsage& u);

    void ShowModem();

    QTimer refresh_;
    bool settingsShown_ = false;
    std::string modem_;
};

} // namespace sp

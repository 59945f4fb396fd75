#pragma once

#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

namespace sp {

// The days of a billing cycle as bars, received below sent, drawn in the
// colours of the program's traffic graph; the pointer over a bar shows the
// day's figures.
class TDayChart : public QWidget {
    Q_OBJECT

public:
    struct Day {
        std::string date; // YYYY-MM-DD
        uint64_t rx = 0;
        uint64_t tx = 0;
    };

    explicit TDayChart(QWidget* parent = nullptr);

    // Every day of the cycle, in order (days without traffic with zeros).
    void SetDays(std::vector<Day> days);
    [[nodiscard]] const std::vector<Day>& Days() const { return days_; }
    // The day under x, -1 for none.
    [[nodiscard]] int DayAt(int x) const;
    // What the pointer over that day shows.
    [[nodiscard]] QString DayText(int index) const;
    [[nodiscard]] int Hovered() const { return hovered_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    [[nodiscard]] QRect Plot() const;
    std::vector<Day> days_;
    int hovered_ = -1;
};

} // namespace sp

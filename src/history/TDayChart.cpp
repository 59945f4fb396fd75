#include "history/TDayChart.h"

#include "controls/TColor.h"
#include "dialogs/ProgramFont.h"
#include "history/HistoryTexts.h"

#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>

namespace sp {

namespace {

// The traffic graph's colours: its bars and its lower part.
constexpr TColor kReceivedColor = 1482540;
constexpr TColor kSentColor = 9687450;
constexpr TColor kFrameColor = RGBToColor(128, 128, 128);
constexpr TColor kHoverColor = RGBToColor(104, 84, 150);

} // namespace

TDayChart::TDayChart(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setFont(ProgramFont(11));
    setMinimumSize(200, 120);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TDayChart::SetDays(std::vector<Day> days)
{
    days_ = std::move(days);
    if (hovered_ >= static_cast<int>(days_.size()))
        hovered_ = -1;
    update();
}

QRect TDayChart::Plot() const
{
    // Room on the left for the scale's largest figure.
    uint64_t top = 0;
    for (const Day& d : days_)
        top = std::max(top, d.rx + d.tx);
    const int label = fontMetrics().horizontalAdvance(top > 0 ? HistorySize(top) : QStringLiteral("0"));
    return rect().adjusted(label + 10, 18, -8, -20);
}

int TDayChart::DayAt(int x) const
{
    const QRect p = Plot();
    if (days_.empty() || x < p.left() || x > p.right())
        return -1;
    const int i = static_cast<int>(static_cast<int64_t>(x - p.left()) * static_cast<int64_t>(days_.size()) / p.width());
    return std::clamp(i, 0, static_cast<int>(days_.size()) - 1);
}

QString TDayChart::DayText(int index) const
{
    if (index < 0 || index >= static_cast<int>(days_.size()))
        return {};
    const Day& d = days_[static_cast<size_t>(index)];
    return QStringLiteral("%1\nПринято: %2\nПередано: %3\nВсего: %4")
        .arg(HistoryDate(d.date), HistorySize(d.rx), HistorySize(d.tx), HistorySize(d.rx + d.tx));
}

void TDayChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.save();
    painter.fillRect(rect(), Qt::white);
    const QRect p = Plot();
    uint64_t top = 0;
    for (const Day& d : days_)
        top = std::max(top, d.rx + d.tx);
    painter.setPen(ColorToQColor(kFrameColor));
    painter.drawLine(p.bottomLeft(), p.bottomRight());
    painter.drawLine(p.topLeft(), p.bottomLeft());
    painter.drawText(QRect(0, p.top() - 6, p.left() - 4, 14), Qt::AlignRight | Qt::AlignVCenter,
                     top > 0 ? HistorySize(top) : QStringLiteral("0"));
    painter.drawText(QRect(0, p.bottom() - 7, p.left() - 4, 14), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("0"));
    // The legend, top right.
    const QFontMetrics fm = fontMetrics();
    int x = p.right();
    for (const auto& [text, color] : {std::pair{QStringLiteral("передано"), kSentColor},
                                      std::pair{QStringLiteral("принято"), kReceivedColor}}) {
        x -= fm.horizontalAdvance(text);
        painter.setPen(ColorToQColor(kFrameColor));
        painter.drawText(QPoint(x, fm.ascent() + 1), text);
        x -= 14;
        painter.fillRect(QRect(x, 3, 10, 10), ColorToQColor(color));
        x -= 12;
    }
    const int n = static_cast<int>(days_.size());
    for (int i = 0; i < n; ++i) {
        const Day& d = days_[static_cast<size_t>(i)];
        const int x0 = p.left() + 1 + i * (p.width() - 1) / n;
        const int x1 = p.left() + 1 + (i + 1) * (p.width() - 1) / n;
        const int w = std::max(1, x1 - x0 - 1);
        if (i == hovered_)
            painter.fillRect(QRect(x0, p.top(), x1 - x0, p.height()), ColorToQColor(kHoverColor).lighter(190));
        if (top > 0) {
            const int hr = static_cast<int>(static_cast<double>(d.rx) * (p.height() - 1) / static_cast<double>(top));
            const int ht = static_cast<int>(static_cast<double>(d.tx) * (p.height() - 1) / static_cast<double>(top));
            painter.fillRect(QRect(x0, p.bottom() - hr, w, hr), ColorToQColor(kReceivedColor));
            painter.fillRect(QRect(x0, p.bottom() - hr - ht, w, ht), ColorToQColor(kSentColor));
        }
        // The day of the month under the first day and every fifth.
        const std::string& date = d.date;
        if ((i == 0 || (i % 5) == 0) && date.size() == 10) {
            painter.setPen(ColorToQColor(kFrameColor));
            painter.drawText(QRect(x0 - 10, p.bottom() + 3, std::max(20, x1 - x0) + 20, 14), Qt::AlignHCenter | Qt::AlignTop,
                             QString::fromStdString(date.substr(8, 2) + "." + date.substr(5, 2)));
        }
    }
    painter.restore();
}

void TDayChart::mouseMoveEvent(QMouseEvent* event)
{
    const int i = DayAt(event->position().toPoint().x());
    if (i != hovered_) {
        hovered_ = i;
        update();
    }
    if (i >= 0)
        QToolTip::showText(event->globalPosition().toPoint(), DayText(i), this);
    else
        QToolTip::hideText();
}

void TDayChart::leaveEvent(QEvent*)
{
    hovered_ = -1;
    update();
}

} // namespace sp

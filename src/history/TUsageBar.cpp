#include "history/TUsageBar.h"

#include "controls/TColor.h"

#include <QPainter>

#include <algorithm>

namespace sp {

TUsageBar::TUsageBar(QWidget* parent) : QWidget(parent) { setFixedHeight(14); }

void TUsageBar::SetUsage(uint64_t used, std::optional<uint64_t> limit)
{
    used_ = used;
    limit_ = limit;
    update();
}

double TUsageBar::Share() const
{
    if (!limit_ || *limit_ == 0)
        return 0;
    return std::min(1.0, static_cast<double>(used_) / static_cast<double>(*limit_));
}

void TUsageBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.save();
    const QRect r = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(r, Qt::white);
    const double share = Share();
    const bool full = limit_ && used_ >= *limit_;
    const bool warned = limit_ && !full && share >= 0.8;
    const QColor fill = full ? QColor(200, 40, 40) : warned ? QColor(230, 150, 30) : ColorToQColor(1482540);
    painter.fillRect(QRect(r.left() + 1, r.top() + 1, static_cast<int>((r.width() - 1) * share), r.height() - 1), fill);
    painter.setPen(ColorToQColor(RGBToColor(128, 128, 128)));
    painter.drawRect(r);
    painter.restore();
}

} // namespace sp

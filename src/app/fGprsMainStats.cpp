// The statistics view of the main page: the texts of each sample, the graph
// and its hints.

#include "app/StatTexts.h"
#include "app/fGprsMain.h"

#include "connection/TStatThread.h"
#include "controls/TGraphPanel.h"
#include "log/EventLog.h"

#include <QFontMetrics>
#include <QLabel>

#include <algorithm>
#include <cstdio>

namespace sp {

void TfrmGprsMain::StatUpdate(uint32_t received, uint32_t transmitted) {
    const uint32_t speed = FStatThread ? FStatThread->GetSpeed() : 0;
    const double connTime = FStatThread ? FStatThread->GetConnTime() : 0.0;
    ShowSample(received, transmitted, speed, connTime);
}

void TfrmGprsMain::ShowSample(uint32_t received, uint32_t transmitted, uint32_t speed, double connTime) {
    lblTime->setText(ConnTimeText(connTime));
    lblTime->adjustSize();

    if (speed > FMaxSpeed) {
        lblMaxSpeed->setText(MaxSpeedText(speed));
        lblMaxSpeed->adjustSize();
        FMaxSpeed = speed;
    }
    gpnlStat->AddSample(speed);

    // The total wraps at 32 bits like the counters themselves.
    const uint32_t total = received + transmitted;
    lblReceived->setText(BytesText(received));
    lblTransmitted->setText(BytesText(transmitted));
    lblTotal->setText(BytesText(total));
    SetLabelsWidth();

    char line[160];
    std::snprintf(line, sizeof line, "Speed: %u Received %u Tramsmitted %u Time %s", speed, received,
                  transmitted, LongTimeText(connTime).toStdString().c_str());
    WriteLog("THREAD-new-stat", 0, line);

    FGraphShowHint = FHintWnd == nullptr || !FHintWnd->isVisible();
    gpnlStat->Repaint();
}

void TfrmGprsMain::SetLabelsWidth() {
    const QFontMetrics received(lblReceived->font());
    const QFontMetrics total(lblTotal->font());
    const int w = std::max({received.horizontalAdvance(lblTransmitted->text()),
                            received.horizontalAdvance(lblReceived->text()),
                            total.horizontalAdvance(lblTotal->text())});
    for (QLabel* label : {lblReceived, lblTransmitted, lblTotal})
        label->resize(w, label->height());
}

void TfrmGprsMain::gpnlStatMouseMove(int x, int y) {
    if (x < 0 || x > gpnlStat->width() || y < 0 || y > gpnlStat->height())
        return;
    const int64_t value = gpnlStat->ValueAt(x);
    if (value < 0)
        return;
    gpnlStat->setToolTip(GraphHintText(static_cast<uint32_t>(value)));
}

void TfrmGprsMain::gpnlStatMouseDown(Qt::MouseButton button, Qt::MouseButtons buttons,
                                     Qt::KeyboardModifiers modifiers, int x, int y) {
    const bool leftAlone = button == Qt::LeftButton && buttons == Qt::LeftButton &&
                           (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) == 0;
    if (!leftAlone)
        return;
    const int64_t value = gpnlStat->ValueAt(x);
    if (value < 0)
        return;
    FGraphShowHint = false;
    ShowHintText(gpnlStat, x, GraphHintText(static_cast<uint32_t>(value)), std::max(0, y - 20));
}

} // namespace sp

// The window's own hint window, the tray state and the restore handler.

#include "app/fGprsMain.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QToolTip>

namespace sp {
namespace {

// How long the own hint stays up: the toolkit's usual hint hide pause.
constexpr int kHintHidePause = 2500;

} // namespace

void TfrmGprsMain::SetTrayState(TTrayMode mode, const QString& hint) {
    // The tray icon itself comes with the window frame; the state it would
    // show is kept so that it is in line from the first moment.
    (void)mode;
    ProcessMessages();
    FTrayHint = hint;
}

void TfrmGprsMain::ShowHintText(QWidget* control, int x, const QString& text, int y) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return;
    if (FHintWnd != nullptr) {
        // The same visible text is not shown again, so it does not flicker.
        if (FHintWnd->text() == trimmed && FHintWnd->isVisible())
            return;
    } else {
        FHintWnd = new QLabel(this, Qt::ToolTip | Qt::FramelessWindowHint);
        FHintWnd->setFrameShape(QFrame::Box);
        FHintWnd->setMargin(2);
        FHintWnd->setPalette(QToolTip::palette());
        FHintWnd->setAutoFillBackground(true);
        FHintWnd->setFont(QToolTip::font());
        hintTimer->setInterval(kHintHidePause);
    }
    FHintWnd->setText(trimmed);
    const QPoint at = control->mapToGlobal(QPoint(x, y));
    if (const QScreen* screen = QGuiApplication::screenAt(at))
        FHintWnd->setMaximumWidth(screen->geometry().width());
    FHintWnd->adjustSize();
    FHintWnd->move(at);
    FHintWnd->show();
    // A running timer is not restarted: a hint shown meanwhile goes with the
    // earlier one.
    if (!hintTimer->isActive())
        hintTimer->start();
}

void TfrmGprsMain::hintTimerTimer() {
    if (FHintWnd != nullptr) {
        FHintWnd->hide();
        FHintWnd->deleteLater();
        FHintWnd = nullptr;
    }
    hintTimer->stop();
}

void TfrmGprsMain::AppRestore() {
    // Bringing the application up (the frame and the tray) is done where the
    // window frame is; a second start already reaches this handler.
}

} // namespace sp

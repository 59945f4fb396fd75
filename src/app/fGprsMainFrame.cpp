// The window's frame: no system frame, its region, the painted title areas,
// dragging by the background, the own hint window, the tray icon with its
// menu and the minimise, restore and activate handlers.

#include "app/fGprsMain.h"

#include "app/TReportAction.h"
#include "connection/ui/ConnectionWindow.h"
#include "controls/TGraphPanel.h"
#include "dialogs/TfrmProgress.h"
#include "resources/Skin.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPolygon>
#include <QRegion>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolTip>
#include <QWindowStateChangeEvent>

namespace sp {
namespace {

// How long the own hint stays up: the toolkit's usual hint hide pause.
constexpr int kHintHidePause = 2500;

// The painted title areas of the background picture.
constexpr int kTitleTop = 5;
constexpr int kTitleBottom = 21;
constexpr int kMinimizeLeft = 453;
constexpr int kMinimizeRight = 472;
constexpr int kCloseLeft = 475;
constexpr int kCloseRight = 494;

std::optional<bool> g_trayAvailable;

bool InTitleBand(int y) {
    return y >= kTitleTop && y <= kTitleBottom;
}

} // namespace

bool TrayAvailable() {
    if (g_trayAvailable)
        return *g_trayAvailable;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SetTrayAvailableForTests(std::optional<bool> available) {
    g_trayAvailable = available;
}

void TfrmGprsMain::CreateFrame() {
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    // The two upper corners are cut off.
    const QPolygon frMain({QPoint(6, 0), QPoint(495, 0), QPoint(498, 2), QPoint(501, 8), QPoint(501, 358),
                           QPoint(0, 358), QPoint(0, 6), QPoint(2, 2)});
    setMask(QRegion(frMain));

    Image1->setMouseTracking(true);
    Image1->installEventFilter(this);

    pmMain = new QMenu(this);
    pmMain->addAction(aRestore);
    pmMain->addAction(aConnect);
    pmMain->addAction(aExit);
    pmMain->insertAction(aExit, new TReportAction(this));
    pmBlank = pmMain->addAction(QStringLiteral("   "));
    pmBlank->setVisible(false);
    // Opening the menu is where a person reaches for "Открыть программу":
    // it is offered exactly while the window is away.
    connect(pmMain, &QMenu::aboutToShow, this, [this] { aRestore->setEnabled(!isVisible()); });

    rxTrayIcon = new QSystemTrayIcon(skin::TrayIcon(false), this);
    rxTrayIcon->setContextMenu(pmMain);
    connect(rxTrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            rxTrayIconClick();
        else if (reason == QSystemTrayIcon::DoubleClick)
            rxTrayIconDblClick();
    });
    connect(aRestore, &QAction::triggered, this, &TfrmGprsMain::aRestoreExecute);

    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive && FAppHandlers)
            AppActivate();
    });
}

// ---------------------------------------------------------------- title areas and dragging

bool TfrmGprsMain::Image1Event(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto* e = static_cast<QMouseEvent*>(event);
        FImage1Pressed = e->button() == Qt::LeftButton;
        const QPoint p = e->position().toPoint();
        Image1MouseDown(e->button(), e->buttons(), p.x(), p.y());
        return true;
    }
    case QEvent::MouseMove: {
        const auto* e = static_cast<QMouseEvent*>(event);
        const QPoint p = e->position().toPoint();
        Image1MouseMove(e->buttons(), e->modifiers(), p.x(), p.y());
        return true;
    }
    case QEvent::MouseButtonRelease: {
        const auto* e = static_cast<QMouseEvent*>(event);
        Image1MouseUp(e->buttons());
        // A click is a left press and release on the picture.
        const bool click = FImage1Pressed && e->button() == Qt::LeftButton &&
                           Image1->rect().contains(e->position().toPoint());
        FImage1Pressed = false;
        if (click)
            Image1Click(e->globalPosition().toPoint());
        return true;
    }
    default:
        return false;
    }
}

void TfrmGprsMain::Image1Click(QPoint screenPos) {
    const QPoint p = Image1->mapFromGlobal(screenPos);
    if (!InTitleBand(p.y()))
        return;
    if (p.x() >= kMinimizeLeft && p.x() <= kMinimizeRight)
        MinimizeApplication();
    else if (p.x() >= kCloseLeft && p.x() <= kCloseRight)
        close();
}

void TfrmGprsMain::Image1MouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y) {
    if ((buttons | button) & Qt::LeftButton) {
        FDragging = true;
        FDragX = x;
        FDragY = y;
    }
}

void TfrmGprsMain::Image1MouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y) {
    if ((buttons & Qt::LeftButton) && FDragging) {
        move(pos().x() + x - FDragX, pos().y() + y - FDragY);
        return;
    }
    if (buttons != Qt::NoButton || modifiers != Qt::NoModifier || !InTitleBand(y))
        return;
    if (x >= kMinimizeLeft && x <= kMinimizeRight)
        ShowHintText(this, x, QStringLiteral("Свернуть программу в \"Трей\""), y - 25);
    else if (x >= kCloseLeft && x <= kCloseRight)
        ShowHintText(this, x, QStringLiteral("Закрыть программу"), y - 25);
}

void TfrmGprsMain::Image1MouseUp(Qt::MouseButtons buttons) {
    FDragging = (buttons & Qt::LeftButton) != 0;
}

// ---------------------------------------------------------------- own hint window

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

// ---------------------------------------------------------------- tray

void TfrmGprsMain::SetTrayState(TTrayMode mode, const QString& hint) {
    if (mode == TTrayMode::On)
        rxTrayIcon->show();
    else if (mode == TTrayMode::Off)
        rxTrayIcon->hide();
    ProcessMessages();
    FTrayHint = hint;
    rxTrayIcon->setToolTip(FModemLine.isEmpty() ? hint : hint + QLatin1Char('\n') + FModemLine);
    rxTrayIcon->setIcon(skin::TrayIcon(FConn != 0));
}

void TfrmGprsMain::rxTrayIconClick() {
    if (!aRestore->isEnabled()) {
        raise();
        activateWindow();
    }
}

void TfrmGprsMain::rxTrayIconDblClick() {
    RestoreApplication();
}

void TfrmGprsMain::aRestoreExecute() {
    RestoreApplication();
}

// ---------------------------------------------------------------- application handlers

void TfrmGprsMain::MinimizeApplication() {
    // Into the tray the window is withdrawn at once, not iconified first: the
    // toolkit's iconify marks the native window to be mapped iconic, and
    // once the window manager has withdrawn the hidden window the toolkit no
    // longer knows it is minimised and keeps that mark, so the next showing
    // would go straight back into the tray.
    if (TrayAvailable()) {
        AppMinimize();
        return;
    }
    showMinimized();
}

void TfrmGprsMain::RestoreApplication() {
    // Out of the tray the restore handler runs once the window is shown.
    if (!isVisible())
        FRestorePending = true;
    if (isMinimized() || !isVisible())
        showNormal();
    raise();
    activateWindow();
}

void TfrmGprsMain::AppMinimize() {
    // Only the tray icon is left to reach the program; where the desktop has
    // no tray, the window stays minimised on the taskbar instead.
    if (TrayAvailable())
        hide();
    ProcessMessages();
}

void TfrmGprsMain::AppRestore() {
    raise();
    activateWindow();
    if (FPage == 0 || FPage == 4) {
        if (RefreshModemList())
            UpdatePage();
    } else if (FPage == 2) {
        gpnlStat->repaint();
    }
    aRestore->setEnabled(!isVisible());
    if (TfrmProgress* progress = ProgressForm(); progress != nullptr && progress->isVisible())
        progress->raise();
    // An open question stays above the window it belongs to.
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this)
        modal->raise();
}

void TfrmGprsMain::AppActivate() {
    if (aConnect->isEnabled())
        AppRestore();
}

void TfrmGprsMain::FormActivate() {
    if (TfrmProgress* progress = ProgressForm(); progress != nullptr && progress->isVisible())
        progress->raise();
}

void TfrmGprsMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange) {
        if (isActiveWindow())
            FormActivate();
        return;
    }
    if (event->type() != QEvent::WindowStateChange || !FAppHandlers)
        return;
    const bool wasMinimized = static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized;
    const bool minimized = isMinimized();
    if (minimized && !wasMinimized) {
        // After the minimise has finished: showMinimized() shows the window
        // again once the state has changed.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isMinimized())
                    AppMinimize();
            },
            Qt::QueuedConnection);
    } else if (!minimized && wasMinimized) {
        // The restore handler runs once the window is back on the screen.
        if (isVisible())
            AppRestore();
        else
            FRestorePending = true;
    }
}

void TfrmGprsMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (FRestorePending) {
        FRestorePending = false;
        AppRestore();
    }
}

} // namespace sp

#include "dialogs/TfrmProgress.h"

#include "dialogs/DialogPictures.h"
#include "dialogs/ProgramFont.h"
#include "dialogs/TfrmMsg.h"
#include "platform/system/TCriticalSection.h"
#include "ras/RasGlobals.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include <algorithm>

namespace sp {

namespace {

constexpr int kClientWidth = 334;
constexpr int kClientHeight = 104;
// Caption and borders of a dialog frame, which the heights of the window
// description include.
constexpr int kFrameHeight = 33;
constexpr int kDetailsTop = 104;
constexpr int kDetailLineHeight = 16;
constexpr int kDetailLinesShown = 6;

// Trims white space and control characters at both ends.
QString TrimControls(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first).unicode() <= 0x20)
        ++first;
    while (last > first && text.at(last - 1).unicode() <= 0x20)
        --last;
    return text.mid(first, last - first);
}

} // namespace

TfrmProgress::TfrmProgress(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                              | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint)
{
    setFont(ProgramFont());
    setWindowTitle(QStringLiteral("Установка соединения"));
    setFixedSize(kClientWidth, kClientHeight);

    FImage1 = CreatePicture(this, QStyle::SP_DriveNetIcon, 8, 23, 41);

    FlblProgress = new QLabel(QStringLiteral("..."), this);
    FlblProgress->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    FlblProgress->setGeometry(56, 20, 265, 20);

    FbtnClose = new QPushButton(QStringLiteral("Отменить"), this);
    FbtnClose->setGeometry(248, 72, 73, 25);
    connect(FbtnClose, &QPushButton::clicked, this, &TfrmProgress::btnCloseClick);

    Fbar = new QProgressBar(this);
    Fbar->setGeometry(52, 44, 269, 17);
    Fbar->setRange(0, kBarMax);
    Fbar->setValue(0);
    Fbar->setTextVisible(false);

    FbtnDetail = new QPushButton(QStringLiteral("Детали >>"), this);
    FbtnDetail->setGeometry(4, 72, 75, 25);
    FbtnDetail->hide();
    connect(FbtnDetail, &QPushButton::clicked, this, &TfrmProgress::btnDetailClick);

    FmDetails = new QPlainTextEdit(this);
    FmDetails->setReadOnly(true);
    FmDetails->setGeometry(8, kDetailsTop, 314, 0);
    QPalette palette = FmDetails->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    FmDetails->setPalette(palette);
    FmDetails->hide();

    FWindow = std::make_unique<TMessageWindow>(
        [this](UINT msg, WPARAM wParam, LPARAM lParam) { return WndProc(msg, wParam, lParam); });
}

// The message window goes first, so no send reaches a half-destroyed form.
TfrmProgress::~TfrmProgress()
{
    FWindow.reset();
}

HWND TfrmProgress::Handle() const
{
    return FWindow->Handle();
}

void TfrmProgress::SetDialProgress(const IDialProgress* progress)
{
    FDialProgress = progress;
}

int32_t TfrmProgress::GetErrorCode() const
{
    TCsGuard guard(GlobalLock);
    return FErrorCode;
}

void TfrmProgress::SetErrorCode(int32_t code)
{
    TCsGuard guard(GlobalLock);
    FErrorCode = code;
}

std::string TfrmProgress::GetDetails() const
{
    TCsGuard guard(GlobalLock);
    return FDetails;
}

void TfrmProgress::SetDetails(const std::string& text)
{
    TCsGuard guard(GlobalLock);
    FDetails = text;
}

bool TfrmProgress::GetCancelled() const
{
    TCsGuard guard(GlobalLock);
    return FCancelled;
}

void TfrmProgress::SetCancelled(bool flag)
{
    TCsGuard guard(GlobalLock);
    FCancelled = flag;
}

int TfrmProgress::Height() const
{
    return height() + kFrameHeight;
}

void TfrmProgress::SetHeight(int value)
{
    const int client = std::max(kDetailsTop, value - kFrameHeight);
    setFixedSize(kClientWidth, client);
    // The status line and the details box follow the window's height.
    FlblProgress->setGeometry(56, 20, 265, 20 + client - kClientHeight);
    FmDetails->setGeometry(8, kDetailsTop, 314, client - kDetailsTop);
}

LRESULT TfrmProgress::WndProc(UINT msg, WPARAM, LPARAM)
{
    switch (msg) {
    case WM_PROGRESS_ADOPTED:
        SetBarPosition(kBarMax - kBarStep);
        break;
    case WM_PROGRESS_STEP: {
        // Past the maximum the bar starts again from the minimum, as the
        // platform's progress bar does.
        int position = BarPosition() + kBarStep;
        if (position > kBarMax)
            position %= kBarMax;
        SetBarPosition(position);
        break;
    }
    case WM_PROGRESS_ATTEMPT:
        SetBarPosition(kBarStep);
        break;
    default:
        return 0;
    }
    if (FDialProgress != nullptr) {
        const QString text = QString::fromStdString(FDialProgress->ProgressText());
        if (text != FlblProgress->text()) {
            FlblProgress->setText(text);
            emit statusChanged(text);
        }
    }
    return 0;
}

void TfrmProgress::SetBarPosition(int position)
{
    Fbar->setValue(position);
    FBarPosition.store(position, std::memory_order_release);
}

void TfrmProgress::PrepareForDial()
{
    Fbar->show();
    FmDetails->hide();
    FbtnDetail->hide();
    FbtnDetail->setText(QStringLiteral("Детали >>"));
    FbtnClose->setText(QStringLiteral("Отменить"));
    SetHeight(FbtnDetail->y() + 65);
    SetCancelled(false);
    SetBarPosition(0);
    FlblProgress->setText(QStringLiteral("Поиск активных соединений..."));
}

void TfrmProgress::PrepareFailure(const QString& status)
{
    hide();
    Fbar->hide();
    FlblProgress->setText(status);
    FbtnDetail->setVisible(!GetDetails().empty());
    FbtnClose->setText(QStringLiteral("Закрыть"));
}

int TfrmProgress::ShowFailure(const QString& status)
{
    PrepareFailure(status);
    return exec();
}

void TfrmProgress::btnCloseClick()
{
    if (!Fbar->isHidden()) {
        // Dialling: the dial thread sees the flag at its next check and ends.
        FlblProgress->setText(QStringLiteral("Пользователь отменил соединение..."));
        SetCancelled(true);
        emit cancelRequested();
        return;
    }
    hide();
    done(mrOk);
}

void TfrmProgress::btnDetailClick()
{
    int extraHeight = 0;
    if (!FmDetails->isHidden()) {
        FbtnDetail->setText(QStringLiteral("Детали >>"));
    } else {
        FmDetails->clear();
        QStringList lines = TrimControls(QString::fromStdString(GetDetails()))
                                .split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
        for (qsizetype i = lines.size() - 1; i >= 0; --i)
            if (TrimControls(lines.at(i)).isEmpty())
                lines.removeAt(i);
        FmDetails->setPlainText(lines.join(QLatin1Char('\n')));
        extraHeight = static_cast<int>(std::min<qsizetype>(kDetailLinesShown, lines.size())) * kDetailLineHeight + 10;
        FbtnDetail->setText(QStringLiteral("<< Детали"));
    }
    FmDetails->setVisible(FmDetails->isHidden());
    SetHeight(FbtnDetail->y() + FbtnDetail->height() + extraHeight + 40);
    update();
}

void TfrmProgress::reject()
{
    close();
}

void TfrmProgress::FormShow()
{
    SetErrorCode(0);
}

void TfrmProgress::showEvent(QShowEvent* event)
{
    FormShow();
    if (QWidget* owner = parentWidget()) {
        QRect frame = frameGeometry();
        frame.moveCenter(owner->frameGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

void TfrmProgress::closeEvent(QCloseEvent* event)
{
    if (!isVisible()) {
        event->accept();
        return;
    }
    // While dialling, closing is a request to cancel and the window stays.
    btnCloseClick();
    if (Fbar->isHidden())
        event->accept();
    else
        event->ignore();
}

void TfrmProgress::keyPressEvent(QKeyEvent* event)
{
    // No cancel button: Escape neither cancels nor closes.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

} // namespace sp

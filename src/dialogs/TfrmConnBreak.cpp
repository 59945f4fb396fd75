#include "dialogs/TfrmConnBreak.h"

#include "dialogs/DialogPictures.h"
#include "dialogs/ProgramFont.h"
#include "dialogs/TfrmMsg.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <memory>

namespace sp {

namespace {
std::optional<bool> g_nextRestoreAnswer;
}

TfrmConnBreak::TfrmConnBreak(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint)
{
    setFont(ProgramFont());
    setWindowTitle(QStringLiteral("Соединение прервано"));
    setFixedSize(326, 93);

    // Kept for the window description; the answer does not depend on it.
    FchbAuto = new QCheckBox(QStringLiteral("Восстанавливать автоматически"), this);
    FchbAuto->setGeometry(248, 48, 33, 17);
    FchbAuto->setChecked(true);
    FchbAuto->hide();

    FLabel1 = new QLabel(QStringLiteral("Соединение с Интернет прервано. Восстановить?"), this);
    FLabel1->setWordWrap(true);
    FLabel1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // A wrapped label grows downwards, so a wider font still shows all of it.
    FLabel1->setGeometry(56, 16, 255, std::max(13, FLabel1->heightForWidth(255)));

    FImage1 = CreatePicture(this, QStyle::SP_MessageBoxQuestion, 8, 21, 41);

    FButton2 = new QPushButton(QStringLiteral("Да"), this);
    FButton2->setGeometry(88, 55, 75, 25);
    FButton2->setDefault(true);
    connect(FButton2, &QPushButton::clicked, this, [this] { done(mrYes); });

    FButton1 = new QPushButton(QStringLiteral("Нет"), this);
    FButton1->setGeometry(168, 55, 75, 25);
    connect(FButton1, &QPushButton::clicked, this, [this] { done(mrNo); });

    FButton2->setFocus();
}

void TfrmConnBreak::reject()
{
    done(mrNo);
}

void TfrmConnBreak::keyPressEvent(QKeyEvent* event)
{
    // There is no cancel button: Escape does nothing.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

void TfrmConnBreak::showEvent(QShowEvent* event)
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

bool AskRestoreConnection()
{
    if (g_nextRestoreAnswer) {
        const bool answer = *g_nextRestoreAnswer;
        g_nextRestoreAnswer.reset();
        return answer;
    }
    const auto dialog = std::make_unique<TfrmConnBreak>();
    return dialog->exec() == mrYes;
}

void SetNextRestoreAnswer(std::optional<bool> answer)
{
    g_nextRestoreAnswer = answer;
}

} // namespace sp

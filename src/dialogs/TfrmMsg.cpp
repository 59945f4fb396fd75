#include "dialogs/TfrmMsg.h"

#include "dialogs/DialogPictures.h"
#include "dialogs/ProgramFont.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <memory>

namespace sp {

namespace {

constexpr int kClientHeight = 91;
constexpr int kLabelLeft = 60;
constexpr int kButtonWidth = 75;
constexpr int kButtonGap = 5;

std::optional<int32_t> g_nextAnswer;

struct TButtonInfo {
    const char* caption;
    int result;
};

TButtonInfo ButtonInfo(MsgButton button)
{
    switch (button) {
    case MsgButton::Yes: return {"Да", mrYes};
    case MsgButton::No: return {"Нет", mrNo};
    case MsgButton::Ok: return {"ОК", mrOk};
    case MsgButton::Cancel: return {"Отменить", mrCancel};
    }
    return {"ОК", mrOk};
}

} // namespace

TMsgLayout MsgLayout(int textWidth, int buttonCount)
{
    TMsgLayout layout{};
    layout.windowWidth = std::max(300, textWidth + kLabelLeft + 20);
    layout.labelWidth = layout.windowWidth - kLabelLeft - 16;
    const int rowWidth = buttonCount * kButtonWidth + (buttonCount - 1) * kButtonGap;
    // Halves go to the even neighbour (112.5 -> 112).
    const auto centred = static_cast<int>(std::nearbyint((layout.windowWidth - rowWidth) / 2.0));
    layout.firstLeft = std::max(10, centred);
    return layout;
}

TfrmMsg::TfrmMsg(const QString& text, MsgKind kind, const std::vector<MsgButton>& buttons)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                           | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setFont(ProgramFont());

    FlblMsg = new QLabel(this);
    FimgWarning = CreatePicture(this, QStyle::SP_MessageBoxWarning, 16, 16, 32);
    FimgError = CreatePicture(this, QStyle::SP_MessageBoxCritical, 16, 16, 32);
    FimgInfo = CreatePicture(this, QStyle::SP_MessageBoxInformation, 16, 16, 32);
    FimgConfirm = CreatePicture(this, QStyle::SP_MessageBoxQuestion, 16, 16, 32);
    for (QLabel* picture : {FimgWarning, FimgError, FimgInfo, FimgConfirm})
        picture->hide();

    switch (static_cast<uint8_t>(kind)) {
    case 0:
        FimgWarning->show();
        setWindowTitle(QStringLiteral("Внимание!"));
        break;
    case 1:
        FimgError->show();
        setWindowTitle(QStringLiteral("Ошибка!"));
        break;
    case 3:
        FimgConfirm->show();
        setWindowTitle(QStringLiteral("Подтвердите"));
        break;
    default:
        FimgInfo->show();
        setWindowTitle(QStringLiteral("Информация"));
        break;
    }

    const int textWidth = QFontMetrics(FlblMsg->font()).horizontalAdvance(text);
    const TMsgLayout layout = MsgLayout(textWidth, static_cast<int>(buttons.size()));
    setFixedSize(layout.windowWidth, kClientHeight);
    FlblMsg->setGeometry(kLabelLeft, 16, layout.labelWidth, 13);
    FlblMsg->setText(text);

    for (size_t i = 0; i < buttons.size(); ++i) {
        const TButtonInfo info = ButtonInfo(buttons[i]);
        auto* button = new QPushButton(QString::fromUtf8(info.caption), this);
        button->setGeometry(layout.firstLeft + static_cast<int>(i) * (kButtonWidth + kButtonGap), 56,
                            kButtonWidth, 25);
        button->raise();
        const int result = info.result;
        connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
        FButtons.push_back(button);
    }
    // The first button holds the focus, so Enter presses it.
    if (!FButtons.empty()) {
        FButtons.front()->setDefault(true);
        FButtons.front()->setFocus();
    }
}

void TfrmMsg::reject()
{
    done(mrCancel);
}

void TfrmMsg::keyPressEvent(QKeyEvent* event)
{
    // No button is the cancel button: Escape does nothing.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

void TfrmMsg::showEvent(QShowEvent* event)
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

int32_t ShowMsg(const QString& text, MsgKind kind, const std::vector<MsgButton>& buttons)
{
    if (g_nextAnswer) {
        const int32_t answer = *g_nextAnswer;
        g_nextAnswer.reset();
        return answer;
    }
    // Owned here, so the box goes away also when an exception passes.
    const auto box = std::make_unique<TfrmMsg>(text, kind, buttons);
    return box->exec();
}

int32_t ShowMsg(std::string_view utf8Text, MsgKind kind, const std::vector<MsgButton>& buttons)
{
    return ShowMsg(QString::fromUtf8(utf8Text.data(), static_cast<qsizetype>(utf8Text.size())), kind,
                   buttons);
}

void SetNextMsgAnswer(std::optional<int32_t> answer)
{
    g_nextAnswer = answer;
}

} // namespace sp

#include "QtTestApp.h"
#include "ModalHelper.h"

#include "dialogs/TfrmConnBreak.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace sp;

namespace {

TEST(TfrmConnBreak, Layout)
{
    TfrmConnBreak dialog;
    EXPECT_EQ(dialog.size(), QSize(326, 93));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Соединение прервано"));
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
    const QRect label = dialog.Label1()->geometry();
    EXPECT_EQ(label.topLeft(), QPoint(56, 16));
    EXPECT_EQ(label.width(), 255);
    EXPECT_GE(label.height(), 13);
    EXPECT_GE(label.height(), dialog.Label1()->heightForWidth(255));
    EXPECT_LT(label.bottom(), 55); // above the buttons
    EXPECT_EQ(dialog.Label1()->text(), QStringLiteral("Соединение с Интернет прервано. Восстановить?"));
    EXPECT_EQ(dialog.Image1()->geometry(), QRect(8, 21, 41, 41));
    EXPECT_EQ(dialog.Image1()->pixmap().size(), QSize(41, 41));
    EXPECT_EQ(dialog.Button2()->geometry(), QRect(88, 55, 75, 25));
    EXPECT_EQ(dialog.Button2()->text(), QStringLiteral("Да"));
    EXPECT_TRUE(dialog.Button2()->isDefault());
    EXPECT_EQ(dialog.Button1()->geometry(), QRect(168, 55, 75, 25));
    EXPECT_EQ(dialog.Button1()->text(), QStringLiteral("Нет"));
    EXPECT_TRUE(dialog.chbAuto()->isHidden());
    EXPECT_TRUE(dialog.chbAuto()->isChecked());
}

TEST(AskRestoreConnection, EnterAnswersYes)
{
    OnNextModal([](QWidget* modal) { QTest::keyClick(modal->windowHandle(), Qt::Key_Return); });
    EXPECT_TRUE(AskRestoreConnection());
}

TEST(AskRestoreConnection, NoAndClosingAnswerNo)
{
    OnNextModal([](QWidget* modal) {
        QTest::mouseClick(qobject_cast<TfrmConnBreak*>(modal)->Button1(), Qt::LeftButton);
    });
    EXPECT_FALSE(AskRestoreConnection());
    OnNextModal([](QWidget* modal) { modal->close(); });
    EXPECT_FALSE(AskRestoreConnection());
    OnNextModal([](QWidget* modal) {
        QTest::mouseClick(qobject_cast<TfrmConnBreak*>(modal)->Button2(), Qt::LeftButton);
    });
    EXPECT_TRUE(AskRestoreConnection());
}

TEST(AskRestoreConnection, EscapeDoesNothing)
{
    OnNextModal([](QWidget* modal) {
        QTest::keyClick(modal->windowHandle(), Qt::Key_Escape);
        EXPECT_TRUE(modal->isVisible());
        // Still waiting for an answer: "Да" by the keyboard.
        QTest::keyClick(modal->windowHandle(), Qt::Key_Return);
    });
    EXPECT_TRUE(AskRestoreConnection());
}

TEST(AskRestoreConnection, NextAnswerSkipsTheDialogOnce)
{
    SetNextRestoreAnswer(true);
    EXPECT_TRUE(AskRestoreConnection());
    SetNextRestoreAnswer(false);
    EXPECT_FALSE(AskRestoreConnection());
}

} // namespace

#include "QtTestApp.h"
#include "ModalHelper.h"

#include "dialogs/ProgramFont.h"
#include "dialogs/TfrmMsg.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace sp;

namespace {

std::vector<int> ButtonLefts(const TfrmMsg& box)
{
    std::vector<int> lefts;
    for (const QPushButton* button : box.Buttons()) {
        EXPECT_EQ(button->y(), 56);
        EXPECT_EQ(button->size(), QSize(75, 25));
        lefts.push_back(button->x());
    }
    return lefts;
}

TEST(MsgLayout, WidthAndButtonRow)
{
    const TMsgLayout oneButton = MsgLayout(100, 1);
    EXPECT_EQ(oneButton.windowWidth, 300);
    EXPECT_EQ(oneButton.labelWidth, 224);
    EXPECT_EQ(oneButton.firstLeft, 112); // 112.5 goes to the even neighbour

    const TMsgLayout wide = MsgLayout(600, 1);
    EXPECT_EQ(wide.windowWidth, 680);
    EXPECT_EQ(wide.labelWidth, 604);
    EXPECT_EQ(wide.firstLeft, 302); // 302.5

    EXPECT_EQ(MsgLayout(0, 3).firstLeft, 32);  // row of 235
    EXPECT_EQ(MsgLayout(0, 2).firstLeft, 72);  // row of 155: 72.5
    EXPECT_EQ(MsgLayout(0, 4).firstLeft, 10);  // a row wider than the box
    EXPECT_EQ(MsgLayout(221, 1).windowWidth, 301);
    EXPECT_EQ(MsgLayout(221, 1).firstLeft, 113); // 113 exactly
    EXPECT_EQ(MsgLayout(222, 1).firstLeft, 114); // 113.5 -> 114
}

TEST(TfrmMsg, ShortTextGivesTheMinimumBox)
{
    TfrmMsg box(QStringLiteral("Готово"), MsgKind::Info, {MsgButton::Ok});
    EXPECT_EQ(box.size(), QSize(300, 91));
    EXPECT_EQ(box.lblMsg()->geometry(), QRect(60, 16, 224, 13));
    EXPECT_EQ(box.lblMsg()->text(), QStringLiteral("Готово"));
    EXPECT_EQ(ButtonLefts(box), std::vector<int>{112});
    EXPECT_EQ(box.Buttons()[0]->text(), QStringLiteral("ОК"));
}

TEST(TfrmMsg, ThreeButtonsInOrder)
{
    TfrmMsg box(QStringLiteral("Закрыть соединение?"), MsgKind::Confirm,
                {MsgButton::Yes, MsgButton::No, MsgButton::Cancel});
    EXPECT_EQ(box.width(), 300);
    EXPECT_EQ(ButtonLefts(box), (std::vector<int>{32, 112, 192}));
    EXPECT_EQ(box.Buttons()[0]->text(), QStringLiteral("Да"));
    EXPECT_EQ(box.Buttons()[1]->text(), QStringLiteral("Нет"));
    EXPECT_EQ(box.Buttons()[2]->text(), QStringLiteral("Отменить"));
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Подтвердите"));
}

TEST(TfrmMsg, LongTextWidensTheBoxNeverHeightens)
{
    const QString text = QStringLiteral(
        "Во время работы программы возникла ошибка конфигурации системы. Восстановление требует перезагрузки.");
    TfrmMsg box(text, MsgKind::Error, {MsgButton::Ok});
    const int w = QFontMetrics(box.lblMsg()->font()).horizontalAdvance(text);
    ASSERT_GT(w, 300);
    EXPECT_EQ(box.width(), w + 80);
    EXPECT_EQ(box.height(), 91);
    EXPECT_EQ(box.lblMsg()->width(), w + 4);
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Ошибка!"));
    EXPECT_EQ(box.lblMsg()->font().family(), ProgramFontFamily());
}

TEST(TfrmMsg, KindPicksOnePictureAndCaption)
{
    struct Case {
        int kind;
        const char* caption;
        QLabel* (TfrmMsg::*picture)() const;
    };
    const Case cases[] = {
        {0, "Внимание!", &TfrmMsg::imgWarning}, {1, "Ошибка!", &TfrmMsg::imgError},
        {2, "Информация", &TfrmMsg::imgInfo},   {3, "Подтвердите", &TfrmMsg::imgConfirm},
        {4, "Информация", &TfrmMsg::imgInfo},   {255, "Информация", &TfrmMsg::imgInfo},
    };
    for (const Case& c : cases) {
        TfrmMsg box(QStringLiteral("x"), static_cast<MsgKind>(c.kind), {MsgButton::Ok});
        EXPECT_EQ(box.windowTitle(), QString::fromUtf8(c.caption)) << c.kind;
        int shown = 0;
        for (QLabel* picture : {box.imgWarning(), box.imgError(), box.imgInfo(), box.imgConfirm()}) {
            EXPECT_EQ(picture->geometry(), QRect(16, 16, 32, 32));
            EXPECT_EQ(picture->pixmap().size(), QSize(32, 32));
            shown += picture->isHidden() ? 0 : 1;
        }
        EXPECT_EQ(shown, 1) << c.kind;
        EXPECT_FALSE((box.*c.picture)()->isHidden()) << c.kind;
    }
}

TEST(ShowMsg, ButtonsReturnTheirModalResults)
{
    const std::vector<MsgButton> all{MsgButton::Yes, MsgButton::No, MsgButton::Ok, MsgButton::Cancel};
    const int expected[] = {6, 7, 1, 2};
    for (int i = 0; i < 4; ++i) {
        OnNextModal([i](QWidget* modal) {
            auto* box = qobject_cast<TfrmMsg*>(modal);
            ASSERT_NE(box, nullptr);
            QTest::mouseClick(box->Buttons()[static_cast<size_t>(i)], Qt::LeftButton);
        });
        EXPECT_EQ(ShowMsg(QStringLiteral("Вопрос"), MsgKind::Confirm, all), expected[i]);
    }
}

TEST(ShowMsg, ClosingGivesCancelAndEscapeDoesNothing)
{
    OnNextModal([](QWidget* modal) {
        QTest::keyClick(modal->windowHandle(), Qt::Key_Escape);
        QTest::keyClick(modal, Qt::Key_Escape);
        EXPECT_TRUE(modal->isVisible());
        modal->close();
    });
    EXPECT_EQ(ShowMsg(std::string_view("Текст"), MsgKind::Confirm, {MsgButton::Yes, MsgButton::No}), 2);
}

TEST(ShowMsg, EnterPressesTheFirstButton)
{
    OnNextModal([](QWidget* modal) { QTest::keyClick(modal->windowHandle(), Qt::Key_Return); });
    EXPECT_EQ(ShowMsg(QStringLiteral("Текст"), MsgKind::Confirm, {MsgButton::No, MsgButton::Yes}), 7);
}

TEST(ShowMsg, NextAnswerSkipsTheBoxOnce)
{
    SetNextMsgAnswer(6);
    EXPECT_EQ(ShowMsg(QStringLiteral("Текст"), MsgKind::Confirm, {MsgButton::Yes, MsgButton::No}), 6);
    OnNextModal([](QWidget* modal) { modal->close(); });
    EXPECT_EQ(ShowMsg(QStringLiteral("Текст"), MsgKind::Confirm, {MsgButton::Yes, MsgButton::No}), 2);
}

} // namespace

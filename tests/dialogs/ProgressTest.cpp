#include "QtTestApp.h"
#include "ModalHelper.h"

#include "dialogs/TfrmProgress.h"
#include "ras/RasGlobals.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <mutex>
#include <thread>

using namespace sp;

namespace {

// The dial thread's side: a progress text it changes before each message.
class FakeDial : public IDialProgress
{
public:
    std::string ProgressText() const override { return text; }
    std::string text;
};

// Sends from a worker thread while the window's thread keeps handling its
// messages, as the dial thread and the main thread do.
template <class Work>
void FromWorker(Work work)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done.store(true);
    });
    while (!done.load())
        ProcessMessages();
    worker.join();
}

TEST(TfrmProgress, InitialLayout)
{
    TfrmProgress form;
    EXPECT_EQ(form.size(), QSize(334, 104));
    EXPECT_EQ(form.Height(), 137);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Установка соединения"));
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(form.Image1()->geometry(), QRect(8, 23, 41, 41));
    EXPECT_EQ(form.lblProgress()->geometry(), QRect(56, 20, 265, 20));
    EXPECT_EQ(form.lblProgress()->text(), QStringLiteral("..."));
    EXPECT_EQ(form.btnClose()->geometry(), QRect(248, 72, 73, 25));
    EXPECT_EQ(form.btnClose()->text(), QStringLiteral("Отменить"));
    EXPECT_EQ(form.bar()->geometry(), QRect(52, 44, 269, 17));
    EXPECT_EQ(form.bar()->minimum(), 0);
    EXPECT_EQ(form.bar()->maximum(), 600);
    EXPECT_EQ(form.BarStep(), 10);
    EXPECT_EQ(form.bar()->value(), 0);
    EXPECT_EQ(form.btnDetail()->geometry(), QRect(4, 72, 75, 25));
    EXPECT_TRUE(form.btnDetail()->isHidden());
    EXPECT_TRUE(form.mDetails()->isHidden());
    EXPECT_NE(form.Handle(), 0u);
}

TEST(TfrmProgress, MessagesFromAWorkerMoveTheBarAndShowTheText)
{
    TfrmProgress form;
    FakeDial dial;
    form.SetDialProgress(&dial);
    const HWND wnd = form.Handle();
    std::vector<int> positions;

    FromWorker([&] {
        dial.text = "Открытие порта...";
        SendMessage(wnd, WM_USER + 13, 0, 0);
        positions.push_back(form.BarPosition());
        dial.text = "Порт открыт.";
        SendMessage(wnd, WM_USER + 12, 1, 0);
        positions.push_back(form.BarPosition());
        dial.text = "Соединение установлено.";
        SendMessage(wnd, WM_USER + 11, 0, 0);
        positions.push_back(form.BarPosition());
        SendMessage(wnd, WM_USER + 12, 1, 0);
        positions.push_back(form.BarPosition());
        SendMessage(wnd, WM_USER + 12, 1, 0); // past the maximum: starts again
        positions.push_back(form.BarPosition());
    });
    EXPECT_EQ(positions, (std::vector<int>{10, 20, 590, 600, 10}));
    EXPECT_EQ(form.bar()->value(), 10);
    EXPECT_EQ(form.lblProgress()->text(), QStringLiteral("Соединение установлено."));

    // Other messages change nothing.
    dial.text = "другое";
    EXPECT_EQ(SendMessage(wnd, WM_USER + 14, 0, 0), 0);
    EXPECT_EQ(form.lblProgress()->text(), QStringLiteral("Соединение установлено."));
}

TEST(TfrmProgress, AccessorsFromSeveralThreads)
{
    TfrmProgress form;
    form.SetDetails("Error 678: no answer");
    form.SetErrorCode(678);
    std::thread reader([&] {
        for (int i = 0; i < 1000; ++i) {
            const std::string details = form.GetDetails();
            EXPECT_TRUE(details == "Error 678: no answer" || details == "Error 777");
            form.SetCancelled(i % 2 == 0);
            (void)form.GetErrorCode();
        }
    });
    for (int i = 0; i < 1000; ++i) {
        form.SetDetails(i % 2 ? "Error 777" : "Error 678: no answer");
        form.SetErrorCode(i);
        (void)form.GetCancelled();
    }
    reader.join();
    EXPECT_EQ(form.GetErrorCode(), 999);

    // Another holder of the global lock keeps the accessors waiting.
    std::atomic<bool> read{false};
    GlobalLock.Enter();
    std::thread blocked([&] {
        (void)form.GetErrorCode();
        read.store(true);
    });
    std::this_thread::yield();
    EXPECT_FALSE(read.load());
    GlobalLock.Leave();
    blocked.join();
    EXPECT_TRUE(read.load());
}

TEST(TfrmProgress, ShowingClearsTheErrorCode)
{
    TfrmProgress form;
    form.SetErrorCode(629);
    form.show();
    EXPECT_EQ(form.GetErrorCode(), 0);
}

TEST(TfrmProgress, CancelWhileDiallingKeepsTheWindow)
{
    TfrmProgress form;
    form.PrepareForDial();
    EXPECT_EQ(form.lblProgress()->text(), QStringLiteral("Поиск активных соединений..."));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    QTest::mouseClick(form.btnClose(), Qt::LeftButton);
    EXPECT_TRUE(form.GetCancelled());
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.lblProgress()->text(), QStringLiteral("Пользователь отменил соединение..."));

    // A second press and the title bar's close only ask again.
    QTest::mouseClick(form.btnClose(), Qt::LeftButton);
    EXPECT_FALSE(form.close());
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.GetCancelled());
    EXPECT_EQ(form.Height(), 137);
}

TEST(TfrmProgress, ResultModeClosesByButtonOrTitleBar)
{
    TfrmProgress form;
    form.PrepareForDial();
    form.show();
    form.SetDetails("");
    OnNextModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &form);
        EXPECT_TRUE(form.bar()->isHidden());
        EXPECT_TRUE(form.btnDetail()->isHidden()); // no details, no button
        EXPECT_EQ(form.btnClose()->text(), QStringLiteral("Закрыть"));
        EXPECT_EQ(form.lblProgress()->text(), QStringLiteral("Ошибка 678"));
        QTest::mouseClick(form.btnClose(), Qt::LeftButton);
    });
    EXPECT_EQ(form.ShowFailure(QStringLiteral("Ошибка 678")), 1);
    EXPECT_FALSE(form.isVisible());

    form.SetDetails("Remote computer did not respond.");
    OnNextModal([&](QWidget*) {
        EXPECT_FALSE(form.btnDetail()->isHidden());
        form.close();
    });
    EXPECT_EQ(form.ShowFailure(QStringLiteral("Ошибка 678")), 1);
    EXPECT_FALSE(form.isVisible());

    // The next dial finds the window in dialling mode again.
    form.btnDetailClick();
    form.PrepareForDial();
    EXPECT_FALSE(form.bar()->isHidden());
    EXPECT_TRUE(form.btnDetail()->isHidden());
    EXPECT_TRUE(form.mDetails()->isHidden());
    EXPECT_EQ(form.btnDetail()->text(), QStringLiteral("Детали >>"));
    EXPECT_EQ(form.btnClose()->text(), QStringLiteral("Отменить"));
    EXPECT_EQ(form.Height(), 137);
    EXPECT_FALSE(form.GetCancelled());
}

TEST(TfrmProgress, DetailsFoldAndUnfold)
{
    TfrmProgress form;
    form.SetDetails("  \r\n\t\r\n   \n");
    form.btnDetailClick();
    EXPECT_FALSE(form.mDetails()->isHidden());
    EXPECT_EQ(form.mDetails()->toPlainText(), QString());
    EXPECT_EQ(form.Height(), 147);
    EXPECT_EQ(form.btnDetail()->text(), QStringLiteral("<< Детали"));

    form.btnDetailClick();
    EXPECT_TRUE(form.mDetails()->isHidden());
    EXPECT_EQ(form.Height(), 137);
    EXPECT_EQ(form.btnDetail()->text(), QStringLiteral("Детали >>"));

    form.SetDetails("\r\nline 1\r\n\r\nline 2\nline 3\n  \nline 4\nline 5\nline 6\nline 7\nline 8\r\n");
    form.btnDetailClick();
    EXPECT_EQ(form.Height(), 243);
    EXPECT_EQ(form.mDetails()->document()->blockCount(), 8);
    EXPECT_EQ(form.mDetails()->toPlainText().section(QLatin1Char('\n'), 0, 0), QStringLiteral("line 1"));
    // The box fills the unfolded part of the window.
    EXPECT_EQ(form.mDetails()->geometry(), QRect(8, 104, 314, 106));

    form.btnDetailClick();
    form.SetDetails("one line");
    form.btnDetailClick();
    EXPECT_EQ(form.Height(), 137 + 26);
}

TEST(TfrmProgress, SendsToADestroyedWindowReturnAtOnce)
{
    HWND wnd = 0;
    {
        TfrmProgress form;
        wnd = form.Handle();
    }
    FromWorker([&] { EXPECT_EQ(SendMessage(wnd, WM_USER + 12, 1, 0), 0); });
}

} // namespace

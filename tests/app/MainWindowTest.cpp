// The wizard, the pages and their stages, the agreement page and the modem
// list of the main window, on a machine with the real service.

#include "MainWindowFixture.h"

#include "app/TLinkLabel.h"
#include "controls/TGPRSButton.h"
#include "controls/TGraphPanel.h"
#include "controls/TTransPanel.h"
#include "ras/Modems.h"

#include <QAction>
#include <QCheckBox>
#include <QEventLoop>
#include <QFrame>
#include <QListWidget>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace sp;

namespace {

// A widget's text colour at each of its paints.
class TColourAtPaint : public QObject {
public:
    explicit TColourAtPaint(QWidget* widget) : widget_(widget) { widget->installEventFilter(this); }
    std::vector<QColor> colours;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget_ && event->type() == QEvent::Paint)
            colours.push_back(widget_->palette().color(QPalette::WindowText));
        return false;
    }

private:
    QWidget* widget_;
};

} // namespace

namespace {

const std::string kUsb = "USB GPRS Modem";
const std::string kBluetooth = "Bluetooth Phone Modem";

void Wheel(QWidget* widget, int delta) {
    QWheelEvent event(QPointF(10, 10), QPointF(widget->mapToGlobal(QPoint(10, 10))), QPoint(),
                      QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

// What a person sees of a control: shown on the page that is on top.
bool Seen(TfrmGprsMain& w, QWidget* control) {
    QWidget* page = control->parentWidget();
    return w.TopPage() == page && control->isVisibleTo(page);
}

int BoxPosition(TfrmGprsMain& w) {
    return w.sbUA->verticalScrollBar()->value();
}

} // namespace

// ---------------------------------------------------------------- first start

TEST_F(MainWindowTest, FirstStartShowsTheAgreementWithAgreeDisabled) {
    TfrmGprsMain& w = Start();
    EXPECT_TRUE(w.FFirstStart);
    EXPECT_EQ(w.FStage, 3);
    EXPECT_EQ(w.FPage, 3);
    EXPECT_EQ(w.TopPage(), w.pnlAgreement);
    EXPECT_TRUE(Seen(w, w.btnAgree));
    EXPECT_TRUE(Seen(w, w.btnDisagree));
    EXPECT_FALSE(Seen(w, w.lblUAReturn));
    EXPECT_FALSE(w.btnAgree->Enabled());
    EXPECT_TRUE(w.btnDisagree->Enabled());
    EXPECT_FALSE(w.lblAgreement->isEnabled());
    EXPECT_FALSE(w.lblAbout->isEnabled());
    EXPECT_EQ(w.lblTime->text(), QStringLiteral("0 часов 00 минут"));
    EXPECT_EQ(w.TrayHint(), QStringLiteral("Skyportal - Отключено"));
}

TEST_F(MainWindowTest, AgreeIsEnabledOnlyWithinTenPixelsOfTheEndByTheBar) {
    TfrmGprsMain& w = Start();
    EXPECT_EQ(w.scrollUA->singleStep(), 10);
    EXPECT_EQ(w.scrollUA->pageStep(), 170);
    // 1155 - 174 - 10 = 971: the position must be greater.
    w.scrollUA->setValue(971);
    EXPECT_EQ(BoxPosition(w), 971);
    EXPECT_FALSE(w.btnAgree->Enabled());
    w.scrollUA->setValue(972);
    EXPECT_TRUE(w.btnAgree->Enabled());
    // Never disabled again.
    w.scrollUA->setValue(0);
    EXPECT_TRUE(w.btnAgree->Enabled());
}

TEST_F(MainWindowTest, ABarPageStepMovesBy150) {
    TfrmGprsMain& w = Start();
    w.scrollUA->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(w.scrollUA->value(), 150);
    EXPECT_EQ(BoxPosition(w), 150);
    w.scrollUA->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(BoxPosition(w), 160);
}

TEST_F(MainWindowTest, TheWheelScrollsByATenthRoundedUpAndStopsAtTheEnd) {
    TfrmGprsMain& w = Start();
    Wheel(w.sbUA->viewport(), -120);
    EXPECT_EQ(BoxPosition(w), 12);
    EXPECT_EQ(w.scrollUA->value(), 12);
    Wheel(w.lblUAText, -5); // a touchpad's small step: ceil(-0.5) = 0
    EXPECT_EQ(BoxPosition(w), 12);
    Wheel(w.sbUA->viewport(), 5);
    EXPECT_EQ(BoxPosition(w), 11);
    for (int i = 0; i < 80 && BoxPosition(w) < 960; ++i)
        Wheel(w.sbUA->viewport(), -120);
    EXPECT_FALSE(w.btnAgree->Enabled()) << BoxPosition(w);
    for (int i = 0; i < 10; ++i)
        Wheel(w.sbUA->viewport(), -120);
    EXPECT_EQ(BoxPosition(w), 1155 - 174);
    EXPECT_TRUE(w.btnAgree->Enabled());
    Wheel(w.sbUA->viewport(), 100000);
    EXPECT_EQ(BoxPosition(w), 0);
}

TEST_F(MainWindowTest, DraggingTheThumbAndReleasingOverTheTextReCheck) {
    TfrmGprsMain& w = Start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // Drag the thumb to the bottom of the bar.
    QScrollBar* bar = w.scrollUA;
    const QPoint thumb(8, 20);
    QTest::mousePress(bar, Qt::LeftButton, {}, thumb);
    QMouseEvent move(QEvent::MouseMove, QPointF(8, 400), bar->mapToGlobal(QPointF(8, 400)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(8, 400));
    EXPECT_GT(BoxPosition(w), 971);
    EXPECT_TRUE(w.btnAgree->Enabled());
}

TEST_F(MainWindowTest, ReleasingTheMouseOverTheTextChecksAPositionReachedOtherwise) {
    TfrmGprsMain& w = Start();
    // The box is moved without its handlers (as a program could).
    w.sbUA->verticalScrollBar()->setValue(975);
    EXPECT_FALSE(w.btnAgree->Enabled());
    w.scrollUA->setFocus();
    ASSERT_EQ(w.focusWidget(), w.scrollUA);
    QTest::mouseRelease(w.lblUAText, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(w.btnAgree->Enabled());
    EXPECT_EQ(w.focusWidget(), w.sbUA) << "the text box takes the focus";
}

TEST_F(MainWindowTest, TheWholeFirstStartEndsOnTheMainPageInStageTwo) {
    TfrmGprsMain& w = Start();
    w.scrollUA->setValue(w.scrollUA->maximum());
    Click(w.btnAgree);
    EXPECT_EQ(w.FStage, 0);
    EXPECT_EQ(w.FPage, 0);
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    EXPECT_TRUE(Seen(w, w.imgStart));
    EXPECT_TRUE(Seen(w, w.btnNext));
    EXPECT_TRUE(Seen(w, w.chbDesktop));
    EXPECT_TRUE(Seen(w, w.chbAutorun));
    EXPECT_TRUE(Seen(w, w.chbCopy));
    EXPECT_TRUE(Seen(w, w.lblCopy));
    EXPECT_FALSE(Seen(w, w.imgService));
    EXPECT_FALSE(Seen(w, w.btnSvcOK));
    EXPECT_TRUE(w.chbDesktop->isChecked() && w.chbAutorun->isChecked() && w.chbCopy->isChecked());
    // The list holds the two modems of the machine, the first one chosen.
    ASSERT_EQ(w.lbConnections->count(), 2);
    w.lbConnections->setCurrentRow(1);
    const std::string chosen = w.lbConnections->item(1)->text().toStdString();

    Click(w.btnNext);
    EXPECT_EQ(w.FModem, chosen);
    EXPECT_EQ(w.FPage, 2);
    EXPECT_EQ(w.FStage, 2);
    EXPECT_EQ(w.TopPage(), w.pnlMain);
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Подключиться"));
    // aConnect follows at the next update cycle.
    w.UpdatePage();
    EXPECT_TRUE(w.aConnect->isEnabled());
    EXPECT_TRUE(w.lblAbout->isEnabled());
    EXPECT_TRUE(w.lblAgreement->isEnabled());

    w.close();
    TfrmGprsMain later;
    ASSERT_TRUE(later.LoadSettings());
    EXPECT_EQ(later.FStage, 2);
    EXPECT_EQ(later.FModem, chosen);
}

TEST_F(MainWindowTest, DisagreeClosesWithoutSaving) {
    TfrmGprsMain& w = Start();
    Click(w.btnDisagree);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(SettingsKeyExists());
}

TEST_F(MainWindowTest, AStoredStageOneShowsTheAgreementWithTheReturnLink) {
    StoreSettings(1);
    TfrmGprsMain& w = Start();
    EXPECT_EQ(w.FPage, 3);
    EXPECT_EQ(w.TopPage(), w.pnlAgreement);
    EXPECT_FALSE(Seen(w, w.btnAgree));
    EXPECT_FALSE(Seen(w, w.btnDisagree));
    EXPECT_TRUE(Seen(w, w.lblUAReturn));
}

TEST_F(MainWindowTest, AStoredStageZeroOpensTheInstallationPage) {
    StoreSettings(0);
    TfrmGprsMain& w = Start();
    EXPECT_FALSE(w.FFirstStart);
    EXPECT_EQ(w.FPage, 0);
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    EXPECT_TRUE(Seen(w, w.btnNext));
}

// ---------------------------------------------------------------- later pages

TEST_F(MainWindowTest, TheAgreementLinkReturnsToTheMainPage) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    EXPECT_EQ(w.TopPage(), w.pnlMain);
    w.scrollUA->setValue(500);
    Click(w.lblAgreement);
    EXPECT_EQ(w.FPage, 3);
    EXPECT_EQ(w.TopPage(), w.pnlAgreement);
    EXPECT_EQ(BoxPosition(w), 0);
    EXPECT_EQ(w.scrollUA->value(), 0);
    EXPECT_FALSE(Seen(w, w.btnAgree));
    EXPECT_TRUE(Seen(w, w.lblUAReturn));
    EXPECT_FALSE(w.lblAgreement->isEnabled());
    EXPECT_FALSE(w.lblAbout->isEnabled());
    Click(w.lblUAReturn);
    EXPECT_EQ(w.FPage, 2);
    EXPECT_EQ(w.TopPage(), w.pnlMain);
    EXPECT_EQ(w.FStage, 2);
}

TEST_F(MainWindowTest, AboutIsReachedFromTheSettingsPageAndReturnsThere) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    Click(w.lblSettings);
    EXPECT_EQ(w.FPage, 4);
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    EXPECT_TRUE(w.lblAbout->isEnabled());
    Click(w.lblAbout);
    EXPECT_EQ(w.FPage, 1);
    EXPECT_EQ(w.TopPage(), w.pnlAbout);
    EXPECT_FALSE(w.lblAbout->isEnabled());
    EXPECT_TRUE(w.lblAgreement->isEnabled());
    Click(w.Label12);
    EXPECT_EQ(w.FPage, 4);
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    // The pages' background stays below every page.
    EXPECT_EQ(w.children().indexOf(w.Image1), 0);
}

TEST_F(MainWindowTest, TheSettingsPageInServiceMode) {
    StoreSettings(2, kBluetooth);
    TfrmGprsMain& w = Start();
    Click(w.lblSettings);
    EXPECT_TRUE(Seen(w, w.imgService));
    EXPECT_TRUE(Seen(w, w.btnSvcOK));
    for (QWidget* c : std::initializer_list<QWidget*>{w.imgStart, w.btnNext, w.chbDesktop, w.chbAutorun,
                                                      w.chbCopy, w.lblDesktop, w.lblAutorun, w.lblCopy})
        EXPECT_FALSE(Seen(w, c)) << c->metaObject()->className();
    // The saved modem is the one chosen.
    ASSERT_GE(w.lbConnections->currentRow(), 0);
    EXPECT_EQ(w.lbConnections->currentItem()->text().toStdString(), kBluetooth);
    EXPECT_EQ(w.btnSvcOK->Caption(), QStringLiteral("Выбрать"));
    EXPECT_EQ(w.aSvcOK->text(), QStringLiteral("Выбрать"));

    w.lbConnections->setCurrentRow(0);
    Click(w.btnSvcOK);
    EXPECT_EQ(w.FModem, w.lbConnections->item(0)->text().toStdString());
    EXPECT_EQ(w.TopPage(), w.pnlMain);
    // The page number stays; the main panel is what shows again.
    EXPECT_EQ(w.FPage, 4);
}

TEST_F(MainWindowTest, BackWithoutASelectionRecordsUnknown) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    Click(w.lblSettings);
    w.lbConnections->setCurrentRow(-1);
    w.UpdatePage();
    EXPECT_EQ(w.btnSvcOK->Caption(), QStringLiteral("Назад"));
    EXPECT_EQ(w.aSvcOK->text(), QStringLiteral("Назад"));
    Click(w.btnSvcOK);
    EXPECT_EQ(w.FModem, "Unknown");
    EXPECT_EQ(w.TopPage(), w.pnlMain);
}

TEST_F(MainWindowTest, ADoubleClickBelowTheNamesGoesBackAndCtrlKeepsTheChoice) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    Click(w.lblSettings);
    QWidget* list = w.lbConnections->viewport();
    const QRect chosen = w.lbConnections->visualItemRect(w.lbConnections->currentItem());
    // Ctrl+click on the chosen modem keeps it chosen, highlighted and named.
    QTest::mouseClick(list, Qt::LeftButton, Qt::ControlModifier, chosen.center());
    EXPECT_TRUE(w.lbConnections->currentItem()->isSelected());
    w.UpdatePage();
    EXPECT_EQ(w.btnSvcOK->Caption(), QStringLiteral("Выбрать"));
    // A right double click is no double click.
    const QPoint below(20, list->height() - 5);
    ASSERT_EQ(w.lbConnections->itemAt(below), nullptr);
    QTest::mouseDClick(list, Qt::RightButton, {}, below);
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    QTest::mouseDClick(list, Qt::LeftButton, {}, below);
    EXPECT_EQ(w.TopPage(), w.pnlMain);
    EXPECT_EQ(w.FModem, w.lbConnections->currentRow() < 0
                            ? std::string("Unknown")
                            : w.lbConnections->currentItem()->text().toStdString());
}

TEST_F(MainWindowTest, ADoubleClickChoosesOnlyOnTheSettingsPage) {
    StoreSettings(0);
    TfrmGprsMain& w = Start();
    w.lbConnections->setCurrentRow(1);
    w.lbConnectionsDblClick();
    EXPECT_EQ(w.FModem, kUsb); // unchanged on the installation page
    EXPECT_EQ(w.TopPage(), w.pnlSettings);
    w.FStage = 2;
    w.SetPage(4);
    w.lbConnectionsDblClick();
    EXPECT_EQ(w.FModem, w.lbConnections->item(1)->text().toStdString());
    EXPECT_EQ(w.TopPage(), w.pnlMain);
}

TEST_F(MainWindowTest, SettingsAreIgnoredWhileConnected) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    w.FConn = 0x1234;
    Click(w.lblSettings);
    EXPECT_EQ(w.FPage, 2);
    EXPECT_EQ(w.TopPage(), w.pnlMain);
    w.UpdatePage();
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Отключиться"));
    EXPECT_EQ(w.aConnect->text(), QStringLiteral("Отключиться"));
    w.FConn = 0;
}

TEST_F(MainWindowTest, FromTheCopyFolderTheCopyBoxIsHiddenAndUnchecked) {
    StoreSettings(0);
    TfrmGprsMain& w = Start();
    EXPECT_TRUE(Seen(w, w.chbCopy));
    w.FProgramFile = "c:\\zentora\\skyportal";
    w.UpdatePage();
    EXPECT_FALSE(Seen(w, w.chbCopy));
    EXPECT_FALSE(Seen(w, w.lblCopy));
    EXPECT_FALSE(w.chbCopy->isChecked());
    EXPECT_TRUE(Seen(w, w.chbDesktop));
    // A folder below it is another folder.
    w.FProgramFile = "C:\\Zentora\\bin\\skyportal";
    w.UpdatePage();
    EXPECT_TRUE(Seen(w, w.chbCopy));
}

TEST_F(MainWindowTest, ACaptionLabelTogglesItsBox) {
    StoreSettings(0);
    TfrmGprsMain& w = Start();
    Click(w.lblAutorun, QPoint(5, 5));
    EXPECT_FALSE(w.chbAutorun->isChecked());
    Click(w.lblAutorun, QPoint(5, 5));
    EXPECT_TRUE(w.chbAutorun->isChecked());
    Click(w.lblDesktop, QPoint(5, 5));
    EXPECT_FALSE(w.chbDesktop->isChecked());
}

TEST_F(MainWindowTest, AnIdleCycleBringsThePageInLine) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    EXPECT_FALSE(w.aExit->text().isEmpty());
    w.FConn = 0x77;
    // Nothing calls UpdatePage here but the event loop about to wait.
    QEventLoop loop;
    QTimer::singleShot(30, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(w.btnConnect->Caption(), QStringLiteral("Отключиться"));
    w.FConn = 0;
}

// ---------------------------------------------------------------- modem list

TEST_F(MainWindowTest, TheModemListIsOwnerDrawnWithTheSkinsSelection) {
    StoreSettings(2, kBluetooth);
    TfrmGprsMain& w = Start();
    ASSERT_EQ(w.lbConnections->count(), 2);
    const int selected = w.lbConnections->currentRow();
    const QRect item = w.lbConnections->visualItemRect(w.lbConnections->item(selected));
    EXPECT_EQ(item.height(), 17);
    QImage image(w.lbConnections->viewport()->size(), QImage::Format_RGB32);
    w.lbConnections->viewport()->render(&image);
    EXPECT_EQ(image.pixelColor(1, item.top() + 1), QColor(137, 102, 181));
    // The text begins five pixels in; nothing left of it but the background.
    bool textLeftOfFive = false;
    bool textAtFive = false;
    for (int y = item.top(); y <= item.bottom(); ++y) {
        for (int x = 0; x < 5; ++x)
            textLeftOfFive |= image.pixelColor(x, y) != QColor(137, 102, 181);
        for (int x = 5; x < 9; ++x)
            textAtFive |= image.pixelColor(x, y) != QColor(137, 102, 181);
    }
    EXPECT_FALSE(textLeftOfFive);
    EXPECT_TRUE(textAtFive);
    const int other = 1 - selected;
    const QRect plain = w.lbConnections->visualItemRect(w.lbConnections->item(other));
    EXPECT_EQ(image.pixelColor(1, plain.top() + 1), QColor(Qt::white));
}

TEST_F(MainWindowTest, TheListsHintIsTheItemUnderThePointer) {
    StoreSettings(2);
    TfrmGprsMain& w = Start();
    const QRect second = w.lbConnections->visualItemRect(w.lbConnections->item(1));
    QTest::mouseMove(w.lbConnections->viewport(), second.center());
    QMouseEvent move(QEvent::MouseMove, QPointF(second.center()), w.mapToGlobal(QPointF(second.center())),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w.lbConnections->viewport(), &move);
    EXPECT_EQ(w.lbConnections->toolTip(), w.lbConnections->item(1)->text());
}

TEST_F(MainWindowTest, RefreshFindsANewModemAndKeepsTheSavedOne) {
    StoreSettings(2, kBluetooth);
    TfrmGprsMain& w = Start();
    EXPECT_FALSE(w.RefreshModemList());
    // A third modem is plugged in.
    {
        TRegistry reg;
        reg.SetRootKey(RegHive::LocalMachine);
        const std::string key = ModemClassKey() + "\\0007";
        ASSERT_TRUE(reg.OpenKey(key, true));
        reg.WriteString("FriendlyName", "Nokia Phone Modem");
        reg.WriteString("AttachedTo", "COM7");
    }
    Click(w.lblSettings);
    ASSERT_EQ(w.TopPage(), w.pnlSettings);
    const QPalette before = w.Label40->palette();
    TColourAtPaint painted(w.Label40);
    Click(w.Label40);
    EXPECT_NE(std::find(painted.colours.begin(), painted.colours.end(), QColor(104, 84, 150)),
              painted.colours.end())
        << "the link shows it works";
    EXPECT_EQ(w.Label40->palette().color(QPalette::WindowText), before.color(QPalette::WindowText));
    EXPECT_EQ(w.lbConnections->count(), 3);
    EXPECT_EQ(w.lbConnections->currentItem()->text().toStdString(), kBluetooth);
    EXPECT_FALSE(w.RefreshModemList());
}

// ---------------------------------------------------------------- layout

TEST_F(MainWindowTest, ControlsSitWhereTheWindowDescriptionPutsThem) {
    TfrmGprsMain& w = Start();
    EXPECT_EQ(w.size(), QSize(500, 360));
    EXPECT_EQ(w.Image1->geometry(), QRect(0, 0, 500, 360));
    for (TTransPanel* page : {w.pnlMain, w.pnlAgreement, w.pnlAbout, w.pnlSettings}) {
        EXPECT_EQ(page->geometry(), QRect(0, 49, 500, 265));
        EXPECT_EQ(page->Image(), w.Image1);
        EXPECT_EQ(page->ImageTop(), -52);
        EXPECT_EQ(page->ImageLeft(), 0);
    }
    EXPECT_TRUE(w.pnlMain->BorderLeft() && w.pnlMain->BorderRight());
    EXPECT_EQ(w.pnlMain->BorderColor(), 4934217u);
    EXPECT_EQ(w.pnlMain->BorderWidth(), 0);

    const struct {
        QWidget* control;
        QRect geometry;
    } fixed[] = {
        {w.imgConnect, {16, 16, 145, 25}},     {w.gpnlStat, {16, 52, 192, 45}},
        {w.btnConnect, {16, 148, 193, 30}},    {w.imgUA, {16, 16, 361, 25}},
        {w.sbUA, {16, 47, 470, 174}},          {w.scrollUA, {469, 49, 16, 171}},
        {w.btnDisagree, {16, 226, 85, 25}},    {w.btnAgree, {401, 226, 85, 25}},
        {w.imgStart, {16, 16, 113, 25}},       {w.imgService, {16, 16, 113, 25}},
        {w.pnlModemFrame, {16, 77, 212, 134}}, {w.lbConnections, {17, 78, 210, 132}},
        {w.btnSvcOK, {16, 216, 75, 25}},       {w.btnNext, {313, 216, 75, 25}},
    };
    for (const auto& f : fixed)
        EXPECT_EQ(f.control->geometry(), f.geometry) << f.control->metaObject()->className();

    const struct {
        QWidget* control;
        QPoint at;
    } placed[] = {
        {w.lblConnStatus, {16, 103}},
        {w.lblSpeedGroup, {268, 41}},
        {w.lblMaxSpeedCaption, {269, 57}},
        {w.lblMaxSpeed, {328, 57}},
        {w.lblTrafficGroup, {268, 80}},
        {w.lblReceivedCaption, {269, 95}},
        {w.lblReceived, {350, 95}},
        {w.lblTransmittedCaption, {269, 108}},
        {w.lblTransmitted, {350, 108}},
        {w.lblTotalCaption, {269, 121}},
        {w.lblTotal, {350, 121}},
        {w.lblTimeGroup, {268, 148}},
        {w.lblTime, {268, 163}},
        {w.lblSettingsNote, {16, 203}},
        {w.lblUAReturn, {16, 231}},
        {w.lblChooseModem, {16, 60}},
        {w.Label40, {178, 61}},
        {w.lblModemNote, {272, 8}},
        {w.chbDesktop, {290, 79}},
        {w.chbAutorun, {290, 121}},
        {w.chbCopy, {290, 163}},
        {w.lblDesktop, {310, 81}},
        {w.lblAutorun, {310, 123}},
        {w.lblCopy, {310, 165}},
    };
    for (const auto& p : placed)
        EXPECT_EQ(p.control->pos(), p.at) << p.control->metaObject()->className();
    EXPECT_EQ(w.Bevel1->geometry().top(), 102);
    EXPECT_GE(w.lblConnStatus->width(), 185);
    EXPECT_EQ(w.lbConnections->visualItemRect(w.lbConnections->item(0)).height(), 17);
    // The link follows the note's last line, on the note's last line.
    EXPECT_GT(w.lblSettings->x(), w.lblSettingsNote->x());
    EXPECT_GT(w.lblSettings->y(), w.lblSettingsNote->y());
    EXPECT_LT(w.lblSettings->y(), w.lblSettingsNote->geometry().bottom());
    // The agreement text is about the box's range.
    EXPECT_EQ(w.sbUA->widget()->height(), 1155);
    EXPECT_LE(w.lblUAText->heightForWidth(w.lblUAText->width()), 1155);
    EXPECT_GT(w.lblUAText->heightForWidth(w.lblUAText->width()), 1155 - 174);
}

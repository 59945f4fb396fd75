#include "QtTestApp.h"

#include "controls/TGPRSButton.h"

#include <QTest>

#include <string>
#include <vector>

using namespace sp;

namespace {

const QColor kWhite(255, 255, 255);
const QColor kFace(244, 244, 240);
const QColor kDown(188, 185, 246);
const QColor kBorder(0, 6, 116);
const QColor kInactiveBorder(212, 208, 200);

// btnSvcOK of the main window: 75 x 25 with a two-pixel inner frame.
class GPRSButtonTest : public ::testing::Test
{
protected:
    GPRSButtonTest()
    {
        button.resize(75, 25);
        button.SetBorderWidth(1);
        button.SetCurve(4);
        button.SetBgColor(clWhite);
        button.SetBorderColor(7603712);
        button.SetDownColor(16169404);
        button.SetColor(15791348);
        button.SetExtColor(clInactiveCaption);
        button.SetIntColor(16169404);
        button.SetExtWidth(0);
        button.SetIntWidth(2);
        QObject::connect(&button, &TGPRSButton::OnClick, [this](TGPRSButton* sender) {
            EXPECT_EQ(sender, &button);
            events.push_back("click");
        });
        QObject::connect(&button, &TGPRSButton::OnMouseDown,
                         [this](Qt::MouseButton, Qt::MouseButtons, int x, int y) {
                             events.push_back("down " + std::to_string(x) + "," + std::to_string(y));
                         });
        QObject::connect(&button, &TGPRSButton::OnMouseUp,
                         [this](Qt::MouseButton, Qt::MouseButtons, int, int) { events.push_back("up"); });
        button.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&button));
    }

    int Clicks() const { return static_cast<int>(std::count(events.begin(), events.end(), "click")); }

    TGPRSButton button;
    std::vector<std::string> events;
};

TEST_F(GPRSButtonTest, RoundedBodyWithInnerFace)
{
    const QImage image = RenderWidget(button);
    // Rounded corners leave the background; the outline runs along the edges.
    EXPECT_EQ(Pixel(image, 0, 0), kWhite);
    EXPECT_EQ(Pixel(image, 73, 23), kWhite);
    // The body runs from (0, 0) to (74, 24), right and bottom exclusive.
    EXPECT_EQ(Pixel(image, 0, 12), kBorder);
    EXPECT_EQ(Pixel(image, 73, 12), kBorder);
    EXPECT_EQ(Pixel(image, 74, 12), kWhite);
    EXPECT_EQ(Pixel(image, 37, 0), kBorder);
    EXPECT_EQ(Pixel(image, 37, 23), kBorder);
    EXPECT_EQ(Pixel(image, 37, 24), kWhite);
    // Inner frame in IntColor, inner face (3, 3, 70, 20) in Color.
    EXPECT_EQ(Pixel(image, 1, 12), kDown);
    EXPECT_EQ(Pixel(image, 2, 12), kDown);
    EXPECT_EQ(Pixel(image, 3, 12), kFace);
    EXPECT_EQ(Pixel(image, 3, 3), kFace);
    EXPECT_EQ(Pixel(image, 69, 19), kFace);
    EXPECT_EQ(Pixel(image, 70, 12), kDown);
    EXPECT_EQ(Pixel(image, 72, 12), kDown);
    EXPECT_EQ(Pixel(image, 37, 2), kDown);
    EXPECT_EQ(Pixel(image, 37, 3), kFace);
    EXPECT_EQ(Pixel(image, 37, 20), kDown);
    EXPECT_EQ(Pixel(image, 37, 22), kDown);

    button.SetPressed(true);
    const QImage pressed = RenderWidget(button);
    EXPECT_EQ(Pixel(pressed, 37, 12), kDown);
}

TEST_F(GPRSButtonTest, OuterRing)
{
    // btnConnect: 193 x 30, a ring of two pixels, no inner frame.
    button.resize(193, 30);
    button.SetExtColor(14866637);
    button.SetIntColor(clBlack);
    button.SetExtWidth(2);
    button.SetIntWidth(0);
    const QImage image = RenderWidget(button);
    EXPECT_EQ(Pixel(image, 0, 15), kWhite);
    EXPECT_EQ(Pixel(image, 1, 15), QColor(205, 216, 226));
    EXPECT_EQ(Pixel(image, 2, 15), kBorder);
    EXPECT_EQ(Pixel(image, 3, 15), kFace);
    EXPECT_EQ(Pixel(image, 188, 15), kFace);
    EXPECT_EQ(Pixel(image, 189, 15), kBorder);
    EXPECT_EQ(Pixel(image, 190, 15), QColor(205, 216, 226));
    EXPECT_EQ(Pixel(image, 191, 15), QColor(205, 216, 226));
    EXPECT_EQ(Pixel(image, 192, 15), kWhite);
    EXPECT_EQ(Pixel(image, 96, 2), kBorder);
    EXPECT_EQ(Pixel(image, 96, 26), kBorder);
    EXPECT_EQ(Pixel(image, 96, 28), QColor(205, 216, 226));
    EXPECT_EQ(Pixel(image, 96, 29), kWhite);
}

// The darkest grey level inside the caption.
int DarkestCaptionPixel(const QImage& image)
{
    int darkest = 255;
    for (int y = 6; y < 19; ++y)
        for (int x = 10; x < 65; ++x) {
            const QColor c = image.pixelColor(x, y);
            darkest = std::min({darkest, c.red(), c.green(), c.blue()});
        }
    return darkest;
}

TEST_F(GPRSButtonTest, DisabledColours)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    button.setFont(font);
    button.SetCaption(QStringLiteral("Выбрать"));
    EXPECT_LT(DarkestCaptionPixel(RenderWidget(button)), 60);

    button.SetEnabled(false);
    const QImage image = RenderWidget(button);
    EXPECT_EQ(Pixel(image, 0, 12), kInactiveBorder);
    EXPECT_EQ(Pixel(image, 37, 23), kInactiveBorder);
    EXPECT_EQ(Pixel(image, 4, 12), kFace);
    const int darkest = DarkestCaptionPixel(image);
    EXPECT_GE(darkest, 128);
    EXPECT_LT(darkest, 160);

    // A disabled button gets no mouse input, so it never presses.
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(30, 12));
    EXPECT_FALSE(button.Pressed());
    EXPECT_EQ(Clicks(), 0);
}

TEST_F(GPRSButtonTest, ClickFiresOnceAfterMouseUp)
{
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(30, 12));
    EXPECT_TRUE(button.Pressed());
    EXPECT_EQ(Clicks(), 0);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(30, 12));
    EXPECT_FALSE(button.Pressed());
    EXPECT_EQ(events, (std::vector<std::string>{"down 30,12", "up", "click"}));
}

TEST_F(GPRSButtonTest, OuterTwoPixelsNeverPress)
{
    for (const QPoint p : {QPoint(0, 12), QPoint(1, 12), QPoint(73, 12), QPoint(74, 12), QPoint(30, 1),
                           QPoint(30, 23)}) {
        events.clear();
        QTest::mousePress(&button, Qt::LeftButton, {}, p);
        EXPECT_FALSE(button.Pressed()) << p.x() << "," << p.y();
        QTest::mouseRelease(&button, Qt::LeftButton, {}, p);
        EXPECT_EQ(Clicks(), 0);
        // The mouse events themselves are still raised.
        EXPECT_EQ(events.size(), 2u);
    }
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_TRUE(button.Pressed());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(Clicks(), 1);
}

TEST_F(GPRSButtonTest, MovingFiveAwayAndBackCancels)
{
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(30, 12));
    QTest::mouseMove(&button, QPoint(35, 12));
    EXPECT_FALSE(button.Pressed());
    QTest::mouseMove(&button, QPoint(30, 12));
    EXPECT_FALSE(button.Pressed());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(30, 12));
    EXPECT_EQ(Clicks(), 0);
}

TEST_F(GPRSButtonTest, MovingFourDiagonallyKeepsThePress)
{
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(30, 12));
    QTest::mouseMove(&button, QPoint(34, 16));
    EXPECT_TRUE(button.Pressed());
    QTest::mouseMove(&button, QPoint(26, 8));
    EXPECT_TRUE(button.Pressed());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(26, 8));
    EXPECT_EQ(Clicks(), 1);
}

TEST_F(GPRSButtonTest, LeavingOrMovingOutReleases)
{
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(5, 12));
    QTest::mouseMove(&button, QPoint(2, 12));
    EXPECT_TRUE(button.Pressed());
    QTest::mouseMove(&button, QPoint(1, 12)); // out of the inner area
    EXPECT_FALSE(button.Pressed());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(1, 12));

    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(30, 12));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    EXPECT_FALSE(button.Pressed());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(30, 12));
    EXPECT_EQ(Clicks(), 0);
}

TEST_F(GPRSButtonTest, DoubleClickFiresOnce)
{
    int doubleClicks = 0;
    QObject::connect(&button, &TGPRSButton::OnDblClick, [&](TGPRSButton*) { ++doubleClicks; });
    // Through the window, so the toolkit makes the double click out of two
    // quick presses as the window system would.
    QTest::mouseDClick(button.windowHandle(), Qt::LeftButton, {}, QPoint(30, 12));
    EXPECT_EQ(Clicks(), 1);
    EXPECT_EQ(doubleClicks, 1);
    EXPECT_FALSE(button.Pressed());
}

} // namespace

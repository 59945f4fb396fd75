#include "QtTestApp.h"

#include "controls/TTransPanel.h"

#include <QPainter>

#include <memory>

using namespace sp;

namespace {

const QColor kBlue(0, 0, 255);
const QColor kGreen(0, 255, 0);
const QColor kRed(255, 0, 0);
const QColor kUnpainted(255, 0, 255);

// pnlMain of the main window over a 500 x 360 background picture whose row
// 52 is green.
class TransPanelTest : public ::testing::Test
{
protected:
    TransPanelTest()
    {
        QPixmap picture(500, 360);
        picture.fill(kBlue);
        QPainter painter(&picture);
        painter.fillRect(0, 52, 500, 1, kGreen);
        painter.end();
        image = std::make_unique<QLabel>();
        image->setPixmap(picture);
        panel.resize(500, 265);
        panel.SetImage(image.get());
        panel.SetImageTop(-52);
        panel.SetImageLeft(0);
        panel.SetBorderColor(RGBToColor(255, 0, 0));
    }

    void AllEdges(bool on)
    {
        panel.SetBorderLeft(on);
        panel.SetBorderRight(on);
        panel.SetBorderTop(on);
        panel.SetBorderBottom(on);
    }

    std::unique_ptr<QLabel> image;
    TTransPanel panel;
};

TEST_F(TransPanelTest, PicturePaintedAtItsOffset)
{
    const QImage shot = RenderWidget(panel);
    EXPECT_EQ(Pixel(shot, 0, 0), kGreen);
    EXPECT_EQ(Pixel(shot, 499, 0), kGreen);
    EXPECT_EQ(Pixel(shot, 250, 1), kBlue);
    EXPECT_EQ(Pixel(shot, 499, 264), kBlue);
}

TEST_F(TransPanelTest, EdgeStripsOfWidthTwo)
{
    panel.SetBorderWidth(2);
    AllEdges(true);
    const QImage shot = RenderWidget(panel);
    auto covered = [](int x, int y) {
        const auto in = [&](int x1, int y1, int x2, int y2) { return x >= x1 && x < x2 && y >= y1 && y < y2; };
        return in(0, 0, 2, 264) || in(497, 0, 499, 265) || in(0, 0, 499, 2) || in(0, 262, 499, 264);
    };
    for (int y = 0; y < 265; ++y)
        for (int x = 0; x < 500; ++x) {
            const QColor expected = covered(x, y) ? kRed : (y == 0 ? kGreen : kBlue);
            ASSERT_EQ(shot.pixelColor(x, y), expected) << x << "," << y;
        }
    // The rightmost column and, left of the right strip, the bottom row stay uncovered.
    EXPECT_EQ(Pixel(shot, 499, 100), kBlue);
    EXPECT_EQ(Pixel(shot, 100, 264), kBlue);
    EXPECT_EQ(Pixel(shot, 498, 264), kRed);
}

TEST_F(TransPanelTest, EdgesOfWidthZeroDrawNothing)
{
    panel.SetBorderWidth(0);
    AllEdges(true);
    const QImage shot = RenderWidget(panel);
    for (int y = 0; y < 265; ++y)
        for (int x = 0; x < 500; ++x)
            ASSERT_EQ(shot.pixelColor(x, y), y == 0 ? kGreen : kBlue) << x << "," << y;
}

TEST_F(TransPanelTest, SmallPictureLeavesTheRestUnpainted)
{
    QPixmap small(100, 100);
    small.fill(kBlue);
    image->setPixmap(small);
    panel.SetImageTop(0);
    const QImage shot = RenderWidget(panel);
    EXPECT_EQ(Pixel(shot, 99, 99), kBlue);
    EXPECT_EQ(Pixel(shot, 100, 50), kUnpainted);
    EXPECT_EQ(Pixel(shot, 300, 200), kUnpainted);
}

TEST_F(TransPanelTest, WithoutPictureItIsAPlainPanel)
{
    panel.SetBevelOuter(TPanel::TBevel::None);
    panel.SetColor(RGBToColor(10, 20, 30));
    AllEdges(true);
    panel.SetBorderWidth(2);
    image.reset(); // the picture control goes away without telling the panel
    EXPECT_EQ(panel.Image(), nullptr);
    const QImage shot = RenderWidget(panel);
    EXPECT_EQ(Pixel(shot, 0, 0), QColor(10, 20, 30));
    EXPECT_EQ(Pixel(shot, 250, 130), QColor(10, 20, 30));
}

} // namespace

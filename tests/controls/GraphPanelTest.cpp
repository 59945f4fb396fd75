#include "QtTestApp.h"

#include "controls/TGraphPanel.h"

#include <numeric>

using namespace sp;

namespace {

const QColor kWhite(255, 255, 255);
const QColor kUpper(44, 159, 22);
const QColor kLower(154, 209, 147);

// The graph as the main window sets it up.
class GraphPanelTest : public ::testing::Test
{
protected:
    GraphPanelTest()
    {
        graph.resize(192, 45);
        graph.SetColor(clWhite);
        graph.SetBevelOuter(TPanel::TBevel::None);
        graph.SetGrapgColor(1482540);
        graph.SetBottomColor(9687450);
        graph.SetScaleLength(40);
        graph.SetRectWidth(60);
    }

    // The colour of each row of one pixel column, top to bottom.
    std::vector<QColor> Column(const QImage& image, int x)
    {
        std::vector<QColor> rows;
        for (int y = 0; y < image.height(); ++y)
            rows.push_back(image.pixelColor(x, y));
        return rows;
    }

    void ExpectColumn(const QImage& image, int x, int upperFrom, int lowerFrom)
    {
        for (int y = 0; y < image.height(); ++y) {
            QColor expected = kWhite;
            if (y >= lowerFrom)
                expected = kLower;
            else if (upperFrom >= 0 && y >= upperFrom)
                expected = kUpper;
            ASSERT_EQ(image.pixelColor(x, y), expected) << "column " << x << " row " << y;
        }
    }

    TGraphPanel graph;
};

TEST_F(GraphPanelTest, ColoursAreWindowsColourValues)
{
    EXPECT_EQ(ColorToQColor(graph.GrapgColor()), kUpper);
    EXPECT_EQ(ColorToQColor(graph.BottomColor()), kLower);
    EXPECT_EQ(ColorToQColor(7603712), QColor(0, 6, 116));
}

TEST_F(GraphPanelTest, EmptyGraphIsBackgroundOnly)
{
    const QImage image = RenderWidget(graph);
    for (int y = 0; y < 45; ++y)
        for (int x = 0; x < 192; ++x)
            ASSERT_EQ(image.pixelColor(x, y), kWhite);
    for (int x = -5; x < 200; ++x)
        EXPECT_EQ(graph.ValueAt(x), -1);
}

TEST_F(GraphPanelTest, BarsAboveTheMiddleAreTwoColoured)
{
    graph.AddSample(0);   // slot 0: occupies its place, draws nothing
    graph.AddSample(100); // slot 1: the maximum, columns 5..7
    graph.AddSample(50);  // slot 2: exactly half, columns 10..12
    graph.AddSample(80);  // slot 3: columns 15..17
    const QImage image = RenderWidget(graph);

    for (int x = 0; x < 5; ++x)
        ExpectColumn(image, x, -1, 45);
    // The maximum reaches row 2, never the top two rows; the middle is row 23.
    for (int x = 5; x < 8; ++x)
        ExpectColumn(image, x, 2, 23);
    ExpectColumn(image, 8, -1, 45);
    // 50 x 45 / 100 = 22.5, up to 23 rows: top 22, all in the lower colour.
    for (int x = 10; x < 13; ++x)
        ExpectColumn(image, x, -1, 22);
    // 80 x 45 / 100 = 36 rows: top 9.
    for (int x = 15; x < 18; ++x)
        ExpectColumn(image, x, 9, 23);
    ExpectColumn(image, 18, -1, 45);
}

TEST_F(GraphPanelTest, ScrollsAfterScaleLengthSamples)
{
    for (uint32_t v = 1; v <= 41; ++v)
        graph.AddSample(v);
    ASSERT_EQ(graph.Samples().size(), 40u);
    EXPECT_EQ(graph.Samples().front(), 2u);
    EXPECT_EQ(graph.Samples().back(), 41u);
    const QImage image = RenderWidget(graph);
    // Slot 39 starts at ceiling(4.8 x 39) = 188 and holds the maximum.
    for (int x = 188; x < 191; ++x)
        ExpectColumn(image, x, 2, 23);
    ExpectColumn(image, 191, -1, 45);
    // Slot 0 now shows sample 2: ceiling(2 x 45 / 41) = 3 rows.
    ExpectColumn(image, 0, -1, 42);
}

TEST_F(GraphPanelTest, MaximumOutlivesAScrolledOutBurst)
{
    graph.AddSample(1000);
    for (int i = 0; i < 40; ++i)
        graph.AddSample(10);
    EXPECT_EQ(graph.Maximum(), 1000u);
    const QImage image = RenderWidget(graph);
    // 10 x 45 / 1000 = 0.45: a bar of one row.
    ExpectColumn(image, 0, -1, 44);
    ExpectColumn(image, 188, -1, 44);

    graph.ClearGraph();
    EXPECT_EQ(graph.Maximum(), 1u);
    EXPECT_TRUE(graph.Samples().empty());
    graph.AddSample(10);
    ExpectColumn(RenderWidget(graph), 0, 2, 23);
}

TEST_F(GraphPanelTest, ValueAtMapsColumnsToSlots)
{
    for (uint32_t i = 0; i < 40; ++i)
        graph.AddSample(i * 10 + 5);
    EXPECT_EQ(graph.ValueAt(100), 215); // 40 / 192 x 100 = 20.83: slot 21
    EXPECT_EQ(graph.ValueAt(0), 5);
    EXPECT_EQ(graph.ValueAt(186), 395); // 38.75: slot 39
    EXPECT_EQ(graph.ValueAt(191), -1);  // 39.79 rounds to 40, past the last
    EXPECT_EQ(graph.ValueAt(-10), -1);

    // Halves go to the even slot.
    graph.resize(80, 45);
    EXPECT_EQ(graph.ValueAt(1), 5);  // 0.5 -> 0
    EXPECT_EQ(graph.ValueAt(3), 25); // 1.5 -> 2
    EXPECT_EQ(graph.ValueAt(5), 25); // 2.5 -> 2
}

TEST_F(GraphPanelTest, ValueAtOnAPartlyFilledGraph)
{
    graph.AddSample(7);
    graph.AddSample(0);
    EXPECT_EQ(graph.ValueAt(0), 7);
    EXPECT_EQ(graph.ValueAt(5), 0); // a zero sample is still a sample
    EXPECT_EQ(graph.ValueAt(10), -1);
}

} // namespace

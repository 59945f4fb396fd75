// The statistics texts of the main page at their edges, the graph's samples
// and hints, fed by hand.

#include "QtTestApp.h"

#include "app/StatTexts.h"
#include "app/fGprsMain.h"
#include "controls/TGraphPanel.h"
#include "log/EventLog.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"

#include <QFontMetrics>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace sp;
namespace fs = std::filesystem;

namespace {

QString S(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// A connection time in days from hours and minutes (and seconds).
double Days(int h, int m, int s = 0) {
    return (h * 3600.0 + m * 60.0 + s) / 86400.0;
}

} // namespace

TEST(StatTexts, ConnectionTimeShowsHoursOfTheDayAndTwoDigitMinutes) {
    EXPECT_EQ(ConnTimeText(0), S("0 часов 00 минут"));
    EXPECT_EQ(ConnTimeText(Days(0, 5, 59)), S("0 часов 05 минут"));
    EXPECT_EQ(ConnTimeText(Days(13, 42)), S("13 часов 42 минут"));
    EXPECT_EQ(ConnTimeText(Days(23, 59, 59)), S("23 часов 59 минут"));
    // Whole days are not shown.
    EXPECT_EQ(ConnTimeText(Days(25, 5)), S("1 часов 05 минут"));
    EXPECT_EQ(ConnTimeText(Days(48, 0)), S("0 часов 00 минут"));
    // A value a hair below a minute counts as the minute (millisecond rounding).
    EXPECT_EQ(ConnTimeText(Days(0, 1) - 1e-10), S("0 часов 01 минут"));
    EXPECT_EQ(LongTimeText(Days(25, 5, 7)), S("1:05:07"));
}

TEST(StatTexts, MaximumSpeedAtItsThresholds) {
    EXPECT_EQ(MaxSpeedText(0), S("0 байт/сек"));
    EXPECT_EQ(MaxSpeedText(120), S("120 байт/сек"));
    EXPECT_EQ(MaxSpeedText(9000), S("9000 байт/сек"));
    EXPECT_EQ(MaxSpeedText(9001), S("9 Kбайт/сек"));
    EXPECT_EQ(MaxSpeedText(35 * 1024), S("35 Kбайт/сек"));
    EXPECT_EQ(MaxSpeedText(9'000'000), S("8789 Kбайт/сек"));
    EXPECT_EQ(MaxSpeedText(9'000'001), S("9 Mбайт/сек"));
    EXPECT_EQ(MaxSpeedText(10 * 1048576), S("10 Mбайт/сек"));
    EXPECT_EQ(MaxSpeedText(UINT32_MAX), S("4096 Mбайт/сек"));
    // Halves go to the even neighbour: 10.5 K -> 10, 11.5 K -> 12.
    EXPECT_EQ(MaxSpeedText(10752), S("10 Kбайт/сек"));
    EXPECT_EQ(MaxSpeedText(11776), S("12 Kбайт/сек"));
    EXPECT_EQ(MaxSpeedText(static_cast<uint32_t>(9.5 * 1048576)), S("10 Mбайт/сек"));
    EXPECT_EQ(MaxSpeedText(static_cast<uint32_t>(10.5 * 1048576)), S("10 Mбайт/сек"));
    // The K and M are Latin letters.
    EXPECT_TRUE(MaxSpeedText(9001).contains(QLatin1Char('K')));
    EXPECT_TRUE(MaxSpeedText(9'000'001).contains(QLatin1Char('M')));
}

TEST(StatTexts, ByteCountsAtTheirThreshold) {
    EXPECT_EQ(BytesText(0), S("0 байт"));
    EXPECT_EQ(BytesText(10'000), S("10000 байт"));
    EXPECT_EQ(BytesText(10'001), S("10 Kбайт"));
    EXPECT_EQ(BytesText(1'536'000), S("1500 Kбайт"));
    EXPECT_EQ(BytesText(10752), S("10 Kбайт")); // 10.5 -> 10
    EXPECT_EQ(BytesText(3u * 1024 * 1024 * 1024), S("3145728 Kбайт"));
    EXPECT_TRUE(BytesText(10'001).contains(QLatin1Char('K')));
}

TEST(StatTexts, GraphHintsRoundUpWithOtherThresholds) {
    EXPECT_EQ(GraphHintText(0), S("0 байт/сек"));
    EXPECT_EQ(GraphHintText(100'000), S("100000 байт/сек"));
    EXPECT_EQ(GraphHintText(100'001), S("98 Kбайт/сек"));
    EXPECT_EQ(GraphHintText(102'400), S("100 Kбайт/сек"));
    EXPECT_EQ(GraphHintText(10'000'000), S("9766 Kбайт/сек"));
    EXPECT_EQ(GraphHintText(10'000'001), S("10 Мбайт/сек"));
    EXPECT_EQ(GraphHintText(UINT32_MAX), S("4096 Мбайт/сек"));
    // Here the М is Cyrillic, the K Latin.
    EXPECT_TRUE(GraphHintText(10'000'001).contains(QChar(0x041C)));
    EXPECT_TRUE(GraphHintText(100'001).contains(QLatin1Char('K')));
}

class StatisticsView : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sp-stats-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("SKYPORTAL_ROOT", dir_.c_str(), 1);
        SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
        SetLogFolder(dir_);
        w_ = std::make_unique<TfrmGprsMain>();
        w_->resize(500, 360);
    }
    void TearDown() override {
        w_.reset();
        SetLogFolder({});
        SetCommandLine(std::vector<std::string>{"skyportal"});
        fs::remove_all(dir_);
    }
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::ifstream f(LogFilePath(), std::ios::binary);
        std::string line;
        while (std::getline(f, line))
            lines.push_back(Cp1251ToUtf8(line));
        return lines;
    }
    fs::path dir_;
    std::unique_ptr<TfrmGprsMain> w_;
};

TEST_F(StatisticsView, ASampleFillsTheLabelsTheGraphAndTheLog) {
    TfrmGprsMain& w = *w_;
    w.ShowSample(1'536'000, 10'000, 9001, Days(25, 5, 7));
    EXPECT_EQ(w.lblTime->text(), S("1 часов 05 минут"));
    EXPECT_EQ(w.lblMaxSpeed->text(), S("9 Kбайт/сек"));
    EXPECT_EQ(w.lblReceived->text(), S("1500 Kбайт"));
    EXPECT_EQ(w.lblTransmitted->text(), S("10000 байт"));
    EXPECT_EQ(w.lblTotal->text(), S("1510 Kбайт"));
    ASSERT_EQ(w.gpnlStat->Samples().size(), 1u);
    EXPECT_EQ(w.gpnlStat->Samples()[0], 9001u);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("src: THREAD-new-stat      code: 0         msg: "
                            "Speed: 9001 Received 1536000 Tramsmitted 10000 Time 1:05:07"),
              std::string::npos)
        << lines[0];
}

TEST_F(StatisticsView, TheThreeByteLabelsShareTheWidestTextsWidth) {
    TfrmGprsMain& w = *w_;
    w.ShowSample(5, 123'456'789, 0, 0);
    const QFontMetrics fm(w.lblReceived->font());
    const int widest = fm.horizontalAdvance(w.lblTotal->text());
    EXPECT_EQ(w.lblTotal->width(), widest);
    EXPECT_EQ(w.lblReceived->width(), widest);
    EXPECT_EQ(w.lblTransmitted->width(), widest);
    // Right-aligned from one left edge: the numbers end on one line.
    EXPECT_EQ(w.lblReceived->x(), w.lblTotal->x());
    EXPECT_TRUE(w.lblReceived->alignment() & Qt::AlignRight);
}

TEST_F(StatisticsView, OnlyANewMaximumChangesTheMaximumLabel) {
    TfrmGprsMain& w = *w_;
    w.ShowSample(0, 0, 9'000'001, 0);
    EXPECT_EQ(w.lblMaxSpeed->text(), S("9 Mбайт/сек"));
    w.ShowSample(0, 0, 9000, 0);
    EXPECT_EQ(w.lblMaxSpeed->text(), S("9 Mбайт/сек"));
    EXPECT_EQ(w.RememberedMaxSpeed(), 9'000'001u);
    w.ShowSample(0, 0, 9'000'002, 0);
    EXPECT_EQ(w.RememberedMaxSpeed(), 9'000'002u);
    EXPECT_EQ(w.gpnlStat->Samples().size(), 3u);
}

TEST_F(StatisticsView, ASessionAboveTwoGibibytesStaysPositive) {
    TfrmGprsMain& w = *w_;
    const uint32_t threeGiB = 3u * 1024 * 1024 * 1024;
    w.ShowSample(threeGiB, 1024u * 1024 * 1024, 0, 0);
    EXPECT_EQ(w.lblReceived->text(), S("3145728 Kбайт"));
    EXPECT_EQ(w.lblTransmitted->text(), S("1048576 Kбайт"));
    // The total is the 32-bit sum, as the counters wrap.
    EXPECT_EQ(w.lblTotal->text(), S("0 байт"));
    EXPECT_NE(LogLines().back().find("Received 3221225472 "), std::string::npos);
}

TEST_F(StatisticsView, TheGraphsHintIsTheSpeedOfTheColumnUnderThePointer) {
    TfrmGprsMain& w = *w_;
    ASSERT_EQ(w.gpnlStat->width(), 192);
    for (uint32_t v : {100'000u, 100'001u, 10'000'001u})
        w.ShowSample(0, 0, v, 0);
    // 40 columns on 192 pixels: column i near x = i * 4.8.
    w.gpnlStatMouseMove(0, 10);
    EXPECT_EQ(w.gpnlStat->toolTip(), S("100000 байт/сек"));
    w.gpnlStatMouseMove(5, 10);
    EXPECT_EQ(w.gpnlStat->toolTip(), S("98 Kбайт/сек"));
    w.gpnlStatMouseMove(10, 10);
    EXPECT_EQ(w.gpnlStat->toolTip(), S("10 Мбайт/сек"));
    // No sample there: the hint stays as it was.
    w.gpnlStatMouseMove(150, 10);
    EXPECT_EQ(w.gpnlStat->toolTip(), S("10 Мбайт/сек"));
    // Outside the graph nothing changes either.
    w.gpnlStatMouseMove(0, 46);
    EXPECT_EQ(w.gpnlStat->toolTip(), S("10 Мбайт/сек"));
}

TEST_F(StatisticsView, APlainLeftClickShowsTheOwnHintAndTheNextSampleRestoresTheGraphs) {
    TfrmGprsMain& w = *w_;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.ShowSample(0, 0, 100'001, 0);
    EXPECT_TRUE(w.GraphShowHint());

    // With Shift, or with the right button: nothing.
    QTest::mouseClick(w.gpnlStat, Qt::LeftButton, Qt::ShiftModifier, QPoint(1, 30));
    QTest::mouseClick(w.gpnlStat, Qt::RightButton, {}, QPoint(1, 30));
    EXPECT_EQ(w.HintWnd(), nullptr);
    // Where there is no sample: nothing.
    QTest::mouseClick(w.gpnlStat, Qt::LeftButton, {}, QPoint(100, 30));
    EXPECT_EQ(w.HintWnd(), nullptr);

    QTest::mousePress(w.gpnlStat, Qt::LeftButton, {}, QPoint(1, 30));
    ASSERT_NE(w.HintWnd(), nullptr);
    EXPECT_TRUE(w.HintWnd()->isVisible());
    EXPECT_EQ(w.HintWnd()->text(), S("98 Kбайт/сек"));
    EXPECT_FALSE(w.GraphShowHint());
    // At y - 20 of the press, in screen coordinates.
    EXPECT_EQ(w.HintWnd()->pos(), w.gpnlStat->mapToGlobal(QPoint(1, 10)));
    QTest::mouseRelease(w.gpnlStat, Qt::LeftButton, {}, QPoint(1, 30));
    // While it is up, a sample keeps the graph's hints off.
    w.ShowSample(0, 0, 5, 0);
    EXPECT_FALSE(w.GraphShowHint());
    w.hintTimerTimer();
    EXPECT_EQ(w.HintWnd(), nullptr);
    w.ShowSample(0, 0, 5, 0);
    EXPECT_TRUE(w.GraphShowHint());

    // Near the top the hint is not placed above the graph.
    QTest::mousePress(w.gpnlStat, Qt::LeftButton, {}, QPoint(1, 5));
    ASSERT_NE(w.HintWnd(), nullptr);
    EXPECT_EQ(w.HintWnd()->pos(), w.gpnlStat->mapToGlobal(QPoint(1, 0)));
    QTest::mouseRelease(w.gpnlStat, Qt::LeftButton, {}, QPoint(1, 5));
}

#include "QtTestApp.h"

#include "dialogs/ProgramFont.h"
#include "resources/Skin.h"

#include <QDir>
#include <QLabel>
#include <QTemporaryDir>
#include <QTextDocument>

using namespace sp;
using namespace sp::skin;

namespace {

bool IsBright(QColor c)
{
    return c.red() > 200 && c.green() > 200 && c.blue() > 200;
}

QRect Area(int left, int top, int right, int bottom)
{
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

// The agreement's label as the main window sets it up.
int AgreementHeight()
{
    QLabel label;
    label.setTextFormat(Qt::RichText);
    label.setFont(ProgramFont(11));
    label.setWordWrap(true);
    label.setText(AgreementText());
    return label.heightForWidth(454);
}

// Where a picture has ink: pixels at least half opaque.
QRect InkBounds(const QImage& image, int maxRow)
{
    QRect bounds;
    for (int y = 0; y <= maxRow; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).alpha() >= 128)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

} // namespace

TEST(Background, FillsTheWindow)
{
    const QPixmap background = Background();
    ASSERT_FALSE(background.isNull());
    EXPECT_EQ(background.size(), QSize(500, 360));
}

TEST(Background, TitleSymbolsLieWithinTheirClickAreas)
{
    const QImage image = Background().toImage();
    const QRect minimise = Area(453, 5, 472, 21);
    const QRect close = Area(475, 5, 494, 21);
    int inMinimise = 0;
    int inClose = 0;
    // The band is dark violet; what is bright at its right end is a symbol or
    // the frame of its button.
    for (int y = 0; y < 49; ++y) {
        for (int x = 440; x < 500; ++x) {
            if (!IsBright(image.pixelColor(x, y)))
                continue;
            EXPECT_TRUE(minimise.contains(x, y) || close.contains(x, y)) << x << "," << y;
            inMinimise += minimise.contains(x, y);
            inClose += close.contains(x, y);
        }
    }
    EXPECT_GT(inMinimise, 10);
    EXPECT_GT(inClose, 10);
    // The minimise bar lies across the middle; the close cross has its centre.
    EXPECT_TRUE(IsBright(image.pixelColor(462, 15)));
    EXPECT_FALSE(IsBright(image.pixelColor(462, 9)));
    EXPECT_TRUE(IsBright(image.pixelColor(485, 13)));
}

TEST(Background, PagesShowWhiteUnderTheirControls)
{
    // The pages draw the picture 52 rows up from their own top; the buttons
    // paint white around their rounded shapes, the graph and the text box are
    // white, so everything the pages show below the band's shadow is white.
    const QImage image = Background().toImage();
    for (int y = 52 + 8; y < 52 + 265; ++y)
        for (int x = 1; x < 499; ++x)
            ASSERT_EQ(image.pixelColor(x, y), QColor(Qt::white)) << x << "," << y;
}

TEST(Background, LinksStripBelowThePagesIsSetOff)
{
    const QImage image = Background().toImage();
    // The links sit at row 326 of the window, on a tinted strip.
    for (int y = 317; y < 357; ++y) {
        const QColor c = image.pixelColor(250, y);
        EXPECT_NE(c, QColor(Qt::white)) << y;
        EXPECT_GT(c.lightness(), 180) << y; // dark blue links stay readable
    }
}

TEST(Headings, HaveTheirSizesAndFitTheirCaptions)
{
    const struct {
        Heading heading;
        QSize size;
    } expected[] = {
        {Heading::Connect, {145, 25}}, {Heading::Agreement, {361, 25}}, {Heading::Start, {113, 25}},
        {Heading::Service, {113, 25}}, {Heading::About, {145, 25}},
    };
    for (const auto& e : expected) {
        const QImage image = HeadingPicture(e.heading).toImage();
        ASSERT_EQ(image.size(), e.size) << static_cast<int>(e.heading);
        const QRect ink = InkBounds(image, 21);
        ASSERT_FALSE(ink.isEmpty());
        // The caption ends before the picture's edge, so no letter is cut.
        EXPECT_LT(ink.right(), image.width() - 3) << static_cast<int>(e.heading);
        EXPECT_GT(ink.width(), 50);
        // Transparent around the caption: the page shows through.
        EXPECT_EQ(image.pixelColor(image.width() - 1, 2).alpha(), 0);
    }
}

TEST(Icons, ProgramAndTrayIconsAtEverySize)
{
    for (int size : {16, 22, 32, 48}) {
        for (const QIcon& icon : {ProgramIcon(), TrayIcon(true), TrayIcon(false)}) {
            const QPixmap picture = icon.pixmap(QSize(size, size));
            ASSERT_EQ(picture.size(), QSize(size, size)) << size;
            EXPECT_GT(picture.toImage().pixelColor(size / 2, size / 2).alpha(), 200);
        }
        // Connected and disconnected tell apart at a glance.
        EXPECT_NE(TrayIcon(true).pixmap(size).toImage(), TrayIcon(false).pixmap(size).toImage());
    }
}

TEST(Icons, WrittenForADesktopEntry)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(WriteProgramIcon(dir.path()));
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QImage image(QStringLiteral("%1/%2x%2/apps/skyportal.png").arg(dir.path()).arg(size));
        EXPECT_EQ(image.size(), QSize(size, size)) << size;
    }
    // Writing again over the earlier files works too.
    EXPECT_TRUE(WriteProgramIcon(dir.path()));
    EXPECT_FALSE(WriteProgramIcon(QStringLiteral("/proc/no-such-folder")));
}

TEST(Agreement, LaysOutToTheScrollRange)
{
    const int height = AgreementHeight();
    EXPECT_GE(height, 1100);
    EXPECT_LE(height, 1210);
}

TEST(Agreement, FormattedSections)
{
    const QString text = AgreementText();
    QTextDocument document;
    document.setHtml(text);
    const QString plain = document.toPlainText();
    for (const char16_t* part : {u"ПОЛЬЗОВАТЕЛЬСКОЕ СОГЛАШЕНИЕ", u"«Зентора»", u"Персональные данные",
                                 u"Ограничение ответственности", u"APN", u"тарифного плана", u"«Согласен»"})
        EXPECT_TRUE(plain.contains(QString::fromUtf16(part))) << QString::fromUtf16(part).toStdString();
    EXPECT_GE(text.count(QStringLiteral("<b>")), 10);
    EXPECT_FALSE(text.contains(QLatin1Char('\n'))); // paragraphs are the markup's own
}

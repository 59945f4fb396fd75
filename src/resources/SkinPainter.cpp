#include "resources/SkinPainter.h"

#include "dialogs/ProgramFont.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>

namespace sp::skin {

namespace {

QColor WithAlpha(QColor color, int alpha)
{
    color.setAlpha(alpha);
    return color;
}

QFont BrandFont(int pixelSize, bool bold)
{
    QFont font = ProgramFont(pixelSize);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

// The operator's mark: a point with the arcs of a signal rising from it, in
// the given colour, fitted into a square of side 256 units.
void PaintSignalMark(QPainter& p, const QColor& color, bool small)
{
    p.save();
    const QPointF centre(128, small ? 180 : 176);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    const qreal dot = small ? 25 : 21;
    p.drawEllipse(centre, dot, dot);
    QPen pen(color);
    pen.setCapStyle(Qt::RoundCap);
    pen.setWidthF(small ? 28 : 22);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QList<qreal> radii = small ? QList<qreal>{62, 112} : QList<qreal>{52, 88, 124};
    for (qreal r : radii)
        p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
    p.restore();
}

// The tile the icons share: a rounded square in the two colours with a soft
// light from above.
void PaintTile(QPainter& p, const QColor& light, const QColor& dark)
{
    p.save();
    const QRectF tile(10, 10, 236, 236);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, light);
    fill.setColorAt(1, dark);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(tile, 52, 52);

    QLinearGradient gloss(0, tile.top(), 0, tile.center().y());
    gloss.setColorAt(0, QColor(255, 255, 255, 56));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(gloss);
    p.drawRoundedRect(tile, 52, 52);
    // A darker rim keeps the tile apart from light panels and menus.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 0, 40), 6));
    p.drawRoundedRect(tile.adjusted(3, 3, -3, -3), 49, 49);
    p.restore();
}

QImage PaintIcon(int size, const QColor& light, const QColor& dark, const QColor* badge)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    PaintTile(p, light, dark);
    PaintSignalMark(p, Qt::white, size <= 24);
    if (badge) {
        const QPointF at(200, 200);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(at, 54, 54);
        p.setBrush(*badge);
        p.drawEllipse(at, 40, 40);
    }
    return image;
}

void PaintTitleButton(QPainter& p, const QRect& area)
{
    // The area's edge pixels belong to the area: the frame lies on them.
    const QRectF frame = QRectF(area).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(QColor(255, 255, 255, 90), 1));
    p.setBrush(QColor(255, 255, 255, 30));
    p.drawRoundedRect(frame, 3, 3);
}

void PaintTitleBand(QPainter& p)
{
    p.save();
    const QRect band(0, 0, 500, kPageTop);
    QLinearGradient fill(0, 0, 500, 0);
    fill.setColorAt(0, kDeepViolet);
    fill.setColorAt(0.6, QColor(86, 60, 140));
    fill.setColorAt(1, QColor(122, 90, 172));
    p.fillRect(band, fill);

    p.setClipRect(band);
    // Rings of a signal spreading from behind the title buttons.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 6; ++i) {
        const qreal r = 40 + i * 34;
        p.setPen(QPen(QColor(255, 255, 255, 18 - 2 * i), 9));
        p.drawEllipse(QPointF(410, 62), r, r);
    }
    QLinearGradient gloss(0, 0, 0, kPageTop);
    gloss.setColorAt(0, QColor(255, 255, 255, 36));
    gloss.setColorAt(0.5, QColor(255, 255, 255, 8));
    gloss.setColorAt(0.51, QColor(255, 255, 255, 0));
    p.fillRect(band, gloss);
    p.setClipping(false);

    // Light edge below the band.
    QLinearGradient edge(0, 0, 500, 0);
    edge.setColorAt(0, kSelectViolet);
    edge.setColorAt(1, QColor(186, 160, 222));
    p.fillRect(QRect(0, kPageTop - 2, 500, 2), edge);

    // The mark on a white disc, then the names.
    p.save();
    p.translate(12, 8);
    p.scale(32 / 256.0, 32 / 256.0);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(0, 0, 256, 256));
    p.translate(24, 10);
    p.scale(208 / 256.0, 208 / 256.0);
    PaintSignalMark(p, kBrandViolet, false);
    p.restore();

    p.setPen(Qt::white);
    p.setFont(BrandFont(21, true));
    p.drawText(QPointF(53, 26), QStringLiteral("Skyportal"));
    p.setPen(QColor(218, 208, 242));
    p.setFont(BrandFont(11, false));
    p.drawText(QPointF(54, 40), QStringLiteral("Зентора  \u00B7  мобильный Интернет через GPRS"));

    // Minimise and close, drawn within their click areas.
    const QRect minimise(453, 5, 20, 17);
    const QRect close(475, 5, 20, 17);
    PaintTitleButton(p, minimise);
    PaintTitleButton(p, close);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(458, 15, 10, 2));
    QPen cross(Qt::white, 1.8);
    cross.setCapStyle(Qt::RoundCap);
    p.setPen(cross);
    p.drawLine(QPointF(480.5, 9), QPointF(489.5, 18));
    p.drawLine(QPointF(489.5, 9), QPointF(480.5, 18));
    p.restore();
}

} // namespace

QImage PaintBackground()
{
    QImage image(500, 360, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    PaintTitleBand(p);

    // The pages show the picture from row 52 at the window's row 49: a soft
    // shadow of the band at the top of what they show.
    QLinearGradient shadow(0, kPageImageTop, 0, kPageImageTop + 6);
    shadow.setColorAt(0, WithAlpha(kDeepViolet, 46));
    shadow.setColorAt(1, WithAlpha(kDeepViolet, 0));
    p.fillRect(QRect(0, kPageTop, 500, kPageImageTop - kPageTop), WithAlpha(kDeepViolet, 46));
    p.fillRect(QRect(0, kPageImageTop, 500, 6), shadow);

    // The strip of the links below the pages.
    QLinearGradient footer(0, kFooterTop, 0, kVisibleHeight);
    footer.setColorAt(0, QColor(246, 243, 251));
    footer.setColorAt(1, QColor(231, 225, 243));
    p.fillRect(QRect(0, kFooterTop, 500, 360 - kFooterTop), footer);
    p.fillRect(QRect(0, kFooterTop, 500, 1), QColor(218, 209, 236));

    // A thin frame, since the window has none of its own; the band is its top.
    const QColor frame(112, 92, 158);
    p.fillRect(QRect(0, kPageTop, 1, kVisibleHeight - kPageTop), frame);
    p.fillRect(QRect(499, kPageTop, 1, kVisibleHeight - kPageTop), frame);
    p.fillRect(QRect(0, kVisibleHeight - 1, 500, 360 - kVisibleHeight + 1), frame);
    return image;
}

QString HeadingCaption(Heading heading)
{
    switch (heading) {
    case Heading::Connect: return QStringLiteral("Подключение");
    case Heading::Agreement: return QStringLiteral("Пользовательское соглашение");
    case Heading::Start: return QStringLiteral("Установка");
    case Heading::Service: return QStringLiteral("Настройки");
    case Heading::About: break;
    }
    return QStringLiteral("О программе");
}

QImage PaintHeading(Heading heading)
{
    const QSize size = HeadingSize(heading);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QString caption = HeadingCaption(heading);
    const qreal textLeft = 12;
    QFont font = BrandFont(16, true);
    // Smaller type rather than a clipped word where a family runs wide.
    while (font.pixelSize() > 10 && QFontMetricsF(font).horizontalAdvance(caption) > size.width() - textLeft - 4)
        font.setPixelSize(font.pixelSize() - 1);

    QLinearGradient marker(0, 3, 0, 20);
    marker.setColorAt(0, kSelectViolet);
    marker.setColorAt(1, kBrandViolet);
    p.setPen(Qt::NoPen);
    p.setBrush(marker);
    p.drawRoundedRect(QRectF(0, 3, 5, 17), 1.5, 1.5);

    p.setFont(font);
    p.setPen(kDeepViolet);
    const QFontMetricsF metrics(font);
    const qreal baseline = 3 + (17 + metrics.capHeight()) / 2;
    p.drawText(QPointF(textLeft, baseline), caption);

    QLinearGradient rule(0, 0, size.width(), 0);
    rule.setColorAt(0, WithAlpha(kSelectViolet, 200));
    rule.setColorAt(0.7, WithAlpha(kSelectViolet, 60));
    rule.setColorAt(1, WithAlpha(kSelectViolet, 0));
    p.fillRect(QRect(0, 23, size.width(), 1), rule);
    return image;
}

QImage PaintProgramIcon(int size)
{
    return PaintIcon(size, QColor(150, 116, 198), kDeepViolet, nullptr);
}

QImage PaintTrayIcon(bool connected, int size)
{
    if (connected) {
        const QColor green(kGraphGreen.lighter(115));
        return PaintIcon(size, QColor(150, 116, 198), kDeepViolet, &green);
    }
    return PaintIcon(size, QColor(170, 166, 180), QColor(92, 88, 104), nullptr);
}

} // namespace sp::skin

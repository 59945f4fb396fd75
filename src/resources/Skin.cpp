#include "resources/Skin.h"

#include <QPainter>

namespace sp::skin {

QPixmap Background()
{
    QPixmap picture(500, 360);
    picture.fill(QColor(244, 241, 249));
    QPainter p(&picture);
    p.fillRect(0, 0, 500, 27, QColor(104, 84, 150));
    p.setPen(Qt::white);
    p.drawLine(457, 16, 468, 16);
    p.drawLine(480, 8, 489, 17);
    p.drawLine(489, 8, 480, 17);
    return picture;
}

QPixmap HeadingPicture(Heading heading)
{
    QSize size(145, 25);
    switch (heading) {
    case Heading::Agreement: size = {361, 25}; break;
    case Heading::Start:
    case Heading::Service: size = {113, 25}; break;
    case Heading::Connect:
    case Heading::About: break;
    }
    QPixmap picture(size);
    picture.fill(QColor(137, 102, 181));
    return picture;
}

static QIcon PlainIcon(const QColor& color)
{
    QPixmap picture(32, 32);
    picture.fill(color);
    return QIcon(picture);
}

QIcon TrayIcon(bool connected)
{
    return PlainIcon(connected ? QColor(137, 102, 181) : QColor(150, 150, 150));
}

QIcon ProgramIcon()
{
    return PlainIcon(QColor(104, 84, 150));
}

QString AgreementText()
{
    QString text;
    for (int i = 1; i <= 40; ++i)
        text += QStringLiteral("<p>%1. Пользовательское соглашение.</p>").arg(i);
    return text;
}

} // namespace sp::skin

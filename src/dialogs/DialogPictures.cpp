#include "dialogs/DialogPictures.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>

namespace sp {

QPixmap StandardPicture(QStyle::StandardPixmap which, int size)
{
    const QIcon icon = QApplication::style()->standardIcon(which);
    QPixmap picture = icon.pixmap(QSize(size, size));
    if (!picture.isNull() && picture.size() != QSize(size, size))
        picture = picture.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return picture;
}

QLabel* CreatePicture(QWidget* parent, QStyle::StandardPixmap which, int x, int y, int size)
{
    auto* label = new QLabel(parent);
    label->setGeometry(x, y, size, size);
    label->setPixmap(StandardPicture(which, size));
    return label;
}

} // namespace sp

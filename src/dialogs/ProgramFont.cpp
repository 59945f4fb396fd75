#include "dialogs/ProgramFont.h"

#include <QFontDatabase>
#include <QStringList>

namespace sp {

QString ProgramFontFamily()
{
    static const QString family = [] {
        const QStringList installed = QFontDatabase::families(QFontDatabase::Cyrillic);
        for (const char* candidate : {"Tahoma", "Liberation Sans", "DejaVu Sans", "Noto Sans", "FreeSans"}) {
            const QString name = QString::fromLatin1(candidate);
            if (installed.contains(name, Qt::CaseInsensitive))
                return name;
        }
        QFont fallback;
        fallback.setStyleHint(QFont::SansSerif);
        return fallback.defaultFamily();
    }();
    return family;
}

QFont ProgramFont(int pixelHeight)
{
    QFont font(ProgramFontFamily());
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    return font;
}

} // namespace sp

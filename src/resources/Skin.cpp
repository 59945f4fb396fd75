#include "resources/Skin.h"

#include "resources/SkinFiles.h"

#include <QDir>
#include <QFile>

namespace sp::skin {

namespace {

QString ResourcePath(const QString& fileName)
{
    return QStringLiteral(":/skin/") + fileName;
}

QPixmap Load(const QString& fileName)
{
    return QPixmap(ResourcePath(fileName));
}

} // namespace

QPixmap Background()
{
    return Load(BackgroundFileName());
}

QPixmap HeadingPicture(Heading heading)
{
    return Load(HeadingFileName(heading));
}

QIcon TrayIcon(bool connected)
{
    QIcon icon;
    for (int size : kTrayIconSizes)
        icon.addFile(ResourcePath(TrayIconFileName(connected, size)), QSize(size, size));
    return icon;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : kProgramIconSizes)
        icon.addFile(ResourcePath(ProgramIconFileName(size)), QSize(size, size));
    return icon;
}

bool WriteProgramIcon(const QString& folder)
{
    for (int size : kProgramIconSizes) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        if (!QDir().mkpath(dir))
            return false;
        const QString target = dir + QStringLiteral("/skyportal.png");
        // The resource is already the PNG; a plain copy keeps it byte for byte.
        QFile::remove(target);
        if (!QFile::copy(ResourcePath(ProgramIconFileName(size)), target))
            return false;
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }
    return true;
}

} // namespace sp::skin

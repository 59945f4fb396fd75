// Paints the pictures of the skin into a folder: the build keeps them as the
// program's resources; run by hand it gives a preview of every picture.

#include "platform/base/ProgramInfo.h"
#include "resources/SkinPainter.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

using namespace sp::skin;

int main(int argc, char** argv)
{
    if (sp::AnswerHelpOrVersion(argc, argv, "skin-painter",
                                "usage: skin-painter FOLDER\n"
                                "Paints the pictures of the skin into FOLDER.\n"))
        return 0;
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: skin-painter FOLDER\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "skin-painter: cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = PaintBackground().save(folder.filePath(BackgroundFileName()));
    for (Heading heading : kHeadings)
        ok = PaintHeading(heading).save(folder.filePath(HeadingFileName(heading))) && ok;
    for (int size : kProgramIconSizes)
        ok = PaintProgramIcon(size).save(folder.filePath(ProgramIconFileName(size))) && ok;
    for (int size : kTrayIconSizes) {
        ok = PaintTrayIcon(true, size).save(folder.filePath(TrayIconFileName(true, size))) && ok;
        ok = PaintTrayIcon(false, size).save(folder.filePath(TrayIconFileName(false, size))) && ok;
    }
    if (!ok) {
        std::fprintf(stderr, "skin-painter: cannot write the pictures into %s\n", argv[1]);
        return 1;
    }
    return 0;
}

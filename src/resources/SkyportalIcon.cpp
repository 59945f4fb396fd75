// Writes the program's icon for a desktop entry (see WriteProgramIcon).

#include "platform/base/ProgramInfo.h"
#include "resources/Skin.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    if (sp::AnswerHelpOrVersion(argc, argv, "skyportal-icon",
                                "usage: skyportal-icon FOLDER\n"
                                "Writes the program's icon as FOLDER/<n>x<n>/apps/skyportal.png.\n"))
        return 0;
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: skyportal-icon FOLDER\n");
        return 2;
    }
    if (!sp::skin::WriteProgramIcon(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "skyportal-icon: cannot write the icon into %s\n", argv[1]);
        return 1;
    }
    return 0;
}

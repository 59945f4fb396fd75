// The smallest Qt Widgets program with a window of the main window's size
// and a caption: what the program's start and memory are measured against.
// Usage: bench_bare_window [caption]

#include <QApplication>
#include <QString>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("bare window"));
    window.setFixedSize(500, 360);
    window.show();
    return QApplication::exec();
}

// A bare Qt Widgets window of the main window's client size, nothing in it:
// what any Qt program pays to show a window.

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare window"));
    window.setFixedSize(500, 360);
    window.show();
    return QApplication::exec();
}

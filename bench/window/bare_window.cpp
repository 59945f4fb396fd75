// A bare Qt Widgets window of the main window's client size, nothing in it:
// what any Qt program pays to show a window. With --label it shows one line
// of text, which adds the font machinery every window with words pays for.

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare window"));
    window.setFixedSize(500, 360);
    if (argc > 1 && std::strcmp(argv[1], "--label") == 0) {
        auto* label = new QLabel(QStringLiteral("Соединение с GPRS не установлено"), &window);
        label->move(16, 152);
    }
    window.show();
    return QApplication::exec();
}

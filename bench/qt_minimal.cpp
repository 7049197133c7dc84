// The desktop benchmark's baseline: the least a Qt Widgets program with
// Tavrin's shape can be. A fixed window about Tavrin's size, a menu bar with
// File > Exit, two push buttons, the stock event loop.
#include <QApplication>
#include <QFontMetrics>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle("Baseline");
    QMenu* file = window.menuBar()->addMenu("&File");
    file->addAction("E&xit", &app, &QApplication::quit);

    const QFontMetrics metrics(window.font());
    const int line = metrics.height();
    const int width = 50 * metrics.averageCharWidth() + 4 * line;
    const int height = 14 * line + 75;

    QWidget client;
    QPushButton test("&Test", &client);
    QPushButton cancel("&Cancel", &client);
    const int x = (width - 225) / 2;
    test.setGeometry(x, height - 90, 75, 25);
    cancel.setGeometry(x + 150, height - 90, 75, 25);
    cancel.setEnabled(false);
    window.setCentralWidget(&client);
    window.setFixedSize(width, height);
    window.show();
    const int result = QApplication::exec();
    window.takeCentralWidget();  // `client` is on the stack, not the window's to delete
    return result;
}

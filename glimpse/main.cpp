#include "glimpse/window/GlimpseWindow.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("glimpse"));
    tavo::glimpse::GlimpseWindow window(tavo::glimpse::GlimpseFiles::besideExecutable());
    window.show();
    const QStringList arguments = QApplication::arguments().mid(1);
    // Open once the window is on the screen, so a message or the file dialog has it as parent.
    QTimer::singleShot(0, &window, [&window, arguments] { window.openAtStart(arguments); });
    return app.exec();
}

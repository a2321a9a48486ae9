#include "app/TavoApplication.h"

#include "dialogs/Shell.h"
#include "dialogs/WindowStyle.h"

#include <exception>

namespace tavo {

TavoApplication::TavoApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // No display name: the desktop would append it to every window's title,
    // and each window's caption is its own.
    setApplicationName(QStringLiteral("Tavo"));
    // The main window ends the program; an open converter or single-tile
    // window does not keep it alive.
    setQuitOnLastWindowClosed(false);
    style::useWindowFontForMenus();
}

bool TavoApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        showError(QString::fromUtf8(error.what()));
    } catch (...) {
        showError(QString());
    }
    return false;
}

void TavoApplication::showError(const QString& text)
{
    Shell::current().showMessage(activeWindow(), text);
}

} // namespace tavo

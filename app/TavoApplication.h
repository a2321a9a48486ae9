#pragma once

#include <QApplication>

namespace tavo {

// The application object. An exception that escapes any event handler
// (button, menu, timer) is shown in a message box with its text, and the
// program goes on.
class TavoApplication final : public QApplication
{
public:
    TavoApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    // Shows `text` in the program's general error box.
    static void showError(const QString& text);
};

} // namespace tavo

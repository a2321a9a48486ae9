#include "app/MainController.h"
#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "dialogs/TForm1.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    tavo::TavoApplication app(argc, argv);
    int result = 0;
    try {
        tavo::MainWindows windows(QCoreApplication::applicationDirPath());
        windows.Form1().show();
        result = app.exec();
        if (windows.controller().abandonedWorkers() > 0) {
            // A worker is stuck in a request past every time-out: its job was
            // saved already; end without waiting for it.
            std::fflush(nullptr);
            std::_Exit(result);
        }
    } catch (const std::exception& error) {
        tavo::TavoApplication::showError(QString::fromUtf8(error.what()));
    } catch (...) {
        tavo::TavoApplication::showError(QString());
    }
    return result;
}

#include "dialogs/Shell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

namespace tavo {

namespace {
Shell g_desktopShell;
Shell* g_current = nullptr;
} // namespace

void Shell::showMessage(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

bool Shell::ask(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString Shell::browseFolder(QWidget* parent, const QString& title)
{
    const QString folder = QFileDialog::getExistingDirectory(
        parent, title, QString(), QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    return folder.isEmpty() ? QString() : QDir::toNativeSeparators(folder);
}

QString Shell::openFileName(QWidget* parent, const QString& title, const QString& folder,
                            const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, title, folder, filter);
}

bool Shell::openDocument(const QString& pathOrUrl)
{
    const QUrl url = QFileInfo(pathOrUrl).isAbsolute() ? QUrl::fromLocalFile(pathOrUrl)
                                                       : QUrl(pathOrUrl);
    return QDesktopServices::openUrl(url);
}

bool Shell::startProgram(const QString& program, const QStringList& arguments)
{
    if (!QFileInfo(program).isExecutable())
        return false;
    return QProcess::startDetached(program, arguments);
}

Shell& Shell::current()
{
    return g_current ? *g_current : g_desktopShell;
}

Shell* Shell::install(Shell* shell)
{
    Shell* previous = g_current ? g_current : &g_desktopShell;
    g_current = shell;
    return previous;
}

} // namespace tavo

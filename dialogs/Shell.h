#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace tavo {

// Everything the program asks of the desktop: message boxes, the folder and
// file choosers, and opening documents, links and other programs. Windows and
// commands go through Shell::current(), so tests can put a recording shell in
// place and never block on a modal box or start a real program.
class Shell
{
public:
    virtual ~Shell() = default;

    // A plain message box with the application's title and an OK button.
    virtual void showMessage(QWidget* parent, const QString& text);
    // A question box with the buttons Yes and No, No being the default;
    // true when the user chose Yes.
    virtual bool ask(QWidget* parent, const QString& text);
    // The folder browser; returns the chosen folder's full path, or an empty
    // text when the user cancels. No folder is preselected.
    virtual QString browseFolder(QWidget* parent, const QString& title);
    // The file-open dialog; returns the chosen file, or an empty text.
    virtual QString openFileName(QWidget* parent, const QString& title, const QString& folder,
                                 const QString& filter);
    // Opens a file or URL with the desktop's default handler; false when the
    // desktop could not (no program for it, no desktop at all).
    virtual bool openDocument(const QString& pathOrUrl);
    // Starts a program detached with `arguments`; false when it could not be
    // started (a missing program is not an error for the caller).
    virtual bool startProgram(const QString& program, const QStringList& arguments = {});

    static Shell& current();
    // Puts `shell` in place (nullptr restores the desktop shell); returns the
    // one that was in place. The caller keeps ownership.
    static Shell* install(Shell* shell);
};

} // namespace tavo

#pragma once

#include "dialogs/Shell.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

namespace tavo::windowtest {

// One QApplication for the whole test program, created by whichever test needs it first.
inline void ensureApplication()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tavo_dialogs_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives until the process ends
    QApplication::setApplicationName(QStringLiteral("Tavo"));
}

// A whole file as bytes; empty when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Records what a window asks of the desktop instead of showing or opening anything.
class RecordingShell final : public Shell
{
public:
    void showMessage(QWidget*, const QString& text) override { messages << text; }
    void openDocument(const QString& pathOrUrl) override { openedDocuments << pathOrUrl; }
    bool startProgram(const QString& program) override
    {
        startedPrograms << program;
        return false;
    }

    QStringList messages;
    QStringList openedDocuments;
    QStringList startedPrograms;
};

// Puts a recording shell in place for the lifetime of the object.
class ScopedRecordingShell final
{
public:
    ScopedRecordingShell() : m_previous(Shell::install(&shell)) {}
    ~ScopedRecordingShell() { Shell::install(m_previous); }
    ScopedRecordingShell(const ScopedRecordingShell&) = delete;
    ScopedRecordingShell& operator=(const ScopedRecordingShell&) = delete;

    RecordingShell shell;

private:
    Shell* m_previous = nullptr;
};

} // namespace tavo::windowtest

#pragma once

// What every test of windows needs: one application object, a desktop shell
// that records instead of showing, file helpers and waits that serve events.

#include "dialogs/Shell.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace tavo::testing {

// Creates the application for the whole test program the first time it is
// asked for; `make` builds a subclass (the program's own) instead.
using ApplicationFactory = QApplication* (*)(int& argc, char** argv);
inline QApplication& ensureApplication(ApplicationFactory make = nullptr)
{
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance()))
        return *existing;
    static int argc = 1;
    static char name[] = "tavo_tests";
    static char* argv[] = {name, nullptr};
    QApplication* app = make ? make(argc, argv) : new QApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavo"));
    return *app; // lives until the process ends
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
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

// Serves events until `done` holds or `ms` have passed; false on time-out.
template <typename Done> bool waitUntil(Done done, int ms = 15000)
{
    return QTest::qWaitFor(done, ms);
}

// Records what a window asks of the desktop instead of showing or opening
// anything; the choosers return the queued answers.
class RecordingShell final : public Shell
{
public:
    void showMessage(QWidget*, const QString& text) override
    {
        messages << text;
        if (whileMessageShows)
            whileMessageShows(text);
    }
    // Questions are recorded; the answer is the next queued one, No when none is queued.
    bool ask(QWidget*, const QString& text) override
    {
        questions << text;
        if (replies.empty())
            return false;
        const bool yes = replies.front();
        replies.pop_front();
        return yes;
    }
    QString browseFolder(QWidget*, const QString& title) override
    {
        browseTitles << title;
        return takeAnswer();
    }
    QString openFileName(QWidget*, const QString& title, const QString& folder,
                         const QString& filter) override
    {
        openRequests << (title + QLatin1Char('|') + folder + QLatin1Char('|') + filter);
        return takeAnswer();
    }
    bool openDocument(const QString& pathOrUrl) override
    {
        openedDocuments << pathOrUrl;
        return documentsOpen;
    }
    bool startProgram(const QString& program, const QStringList& arguments = {}) override
    {
        startedPrograms << program;
        programArguments << arguments;
        return false;
    }

    QStringList messages;
    QStringList questions;
    std::deque<bool> replies; // what the next question box answers
    // Runs while a message box is open, as the modal box's own event loop would.
    std::function<void(const QString&)> whileMessageShows;
    QStringList browseTitles;
    QStringList openRequests;
    QStringList openedDocuments;
    QStringList startedPrograms;
    QList<QStringList> programArguments; // those of each started program
    bool documentsOpen = true;           // what openDocument answers
    std::deque<QString> answers; // what the next chooser returns

private:
    QString takeAnswer()
    {
        if (answers.empty())
            return QString();
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
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

} // namespace tavo::testing

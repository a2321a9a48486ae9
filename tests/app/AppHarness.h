#pragma once

// Drives the real program in-process: its windows and controller over a
// temporary program folder, a recording desktop shell and the local tile
// server reached through the program's own proxy settings.

#include "TileServer.h"
#include "app/MainController.h"
#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "dialogs/Shell.h"
#include "dialogs/TForm1.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>

namespace tavo::testing {

inline TavoApplication& application()
{
    static int argc = 1;
    static char name[] = "tavo_app_tests";
    static char* argv[] = {name, nullptr};
    static TavoApplication* app = new TavoApplication(argc, argv);
    return *app;
}

class RecordingShell final : public Shell
{
public:
    void showMessage(QWidget*, const QString& text) override { messages << text; }
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
    void openDocument(const QString& target) override { opened << target; }
    bool startProgram(const QString& program) override
    {
        started << program;
        return false;
    }

    QStringList messages;
    QStringList browseTitles;
    QStringList openRequests;
    QStringList opened;
    QStringList started;
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

// Reads a whole file as bytes ("" when missing).
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

// Spins the event loop until `done` holds or `ms` have passed.
inline bool waitUntil(const std::function<bool()>& done, int ms = 15000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class AppHarness : public ::testing::Test
{
protected:
    void SetUp() override
    {
        application();
        ASSERT_TRUE(m_root.isValid());
        programFolder = m_root.path() + QStringLiteral("/program/");
        saveFolder = m_root.path() + QStringLiteral("/maps");
        QDir().mkpath(programFolder + QStringLiteral("ini"));
        QDir().mkpath(programFolder + QStringLiteral("blankimg"));
        QFile::copy(QStringLiteral(TAVO_SOURCE_DIR "/blankimg/blank.jpg"),
                    programFolder + QStringLiteral("blankimg/blank.jpg"));
        writeFile(programFolder + QStringLiteral("ini/s.txt"),
                  QByteArrayLiteral("8.07,1,4,256,256,20,321,0\r\n"));
        m_previousShell = Shell::install(&shell);
    }

    void TearDown() override
    {
        windows.reset();
        Shell::install(m_previousShell == &shell ? nullptr : m_previousShell);
    }

    void startServer(tileserver::Options options = {})
    {
        options.paramsBody = "8.07,1,4,256,256,20,321,0\r\n";
        server = std::make_unique<tileserver::TileServer>(options);
        port = server->start(0);
    }

    // Settings that send every tile request to the local tile server.
    void writeProxySettings(const QByteArray& extraIniParas = {})
    {
        QByteArray ini = "[IniParas]\r\n" + extraIniParas + "[Proxy]\r\nUseProxy=1\r\n" +
                         "ProxyServer=127.0.0.1\r\nProxyPort=" + QByteArray::number(port) + "\r\n";
        writeFile(programFolder + QStringLiteral("ini/config.ini"), ini);
    }

    // Creates and shows the windows, as the program does at start.
    void launch()
    {
        windows = std::make_unique<MainWindows>(programFolder);
        form().show();
        QCoreApplication::processEvents();
        if (server)
            controller().appState().ParamsUrl =
                QStringLiteral("http://127.0.0.1:%1/s.txt").arg(port);
    }

    TForm1& form() { return windows->Form1(); }
    MainController& controller() { return windows->controller(); }

    void typeInto(QLineEdit* edit, const QString& text)
    {
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    void enterJob(const QString& left, const QString& right, const QString& top,
                  const QString& bottom, int zoom, int threads, const QString& project)
    {
        typeInto(form().Edit1(), left);
        typeInto(form().Edit3(), right);
        typeInto(form().Edit2(), top);
        typeInto(form().Edit4(), bottom);
        form().Edit5()->setText(QString::number(zoom));
        form().Edit10()->setText(QString::number(threads));
        typeInto(form().Edit6(), saveFolder);
        typeInto(form().Edit11(), project);
    }

    void pressDownload() { QTest::mouseClick(form().BitBtn1(), Qt::LeftButton); }

    bool waitForFinish(int ms = 20000)
    {
        return waitUntil(
            [this] { return shell.messages.contains(QStringLiteral("Download finished!")); }, ms);
    }

    QString savePath(const QString& name) const { return saveFolder + QLatin1Char('/') + name; }

    RecordingShell shell;
    std::unique_ptr<tileserver::TileServer> server;
    int port = 0;
    QString programFolder;
    QString saveFolder;
    std::unique_ptr<MainWindows> windows;

private:
    QTemporaryDir m_root;
    Shell* m_previousShell = nullptr;
};

} // namespace tavo::testing

#pragma once

// Drives the real program in-process: its windows and controller over a
// temporary program folder, a recording desktop shell and the local tile
// server reached through the program's own proxy settings.

#include "TileServer.h"
#include "WindowTestSupport.h"
#include "app/MainController.h"
#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "dialogs/Shell.h"
#include "dialogs/TForm1.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace tavo::testing {

class AppHarness : public ::testing::Test
{
protected:
    static constexpr int kTickMs = 50; // the monitor's tick in these tests

    void SetUp() override
    {
        ensureApplication([](int& argc, char** argv) -> QApplication* {
            return new TavoApplication(argc, argv);
        });
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
        // Failed fetches in a row pause a millisecond each instead of a second,
        // doubling (the worker's own tests time the doubling).
        controller().appState().Limits.failurePauseMs = 1;
        controller().appState().Limits.longestFailurePauseMs = 1;
        // The monitor ticks every kTickMs instead of every second: what it does
        // is counted in ticks (positions and log saved every fourth, the end
        // seen on the next), so a job ends within a few of them.
        form().Timer1()->setInterval(kTickMs);
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

    // The closing box of the last run: a message, or a question when it
    // offers to fetch failed tiles again; empty before the end.
    QString closingBox() const
    {
        for (const QStringList* boxes : {&shell.messages, &shell.questions})
            for (const QString& box : *boxes)
                if (box.startsWith(QStringLiteral("Download finished!\n")))
                    return box;
        return {};
    }

    bool waitForFinish(int ms = 20000)
    {
        return waitUntil([this] { return !closingBox().isEmpty(); }, ms);
    }

    void clearBoxes()
    {
        shell.messages.clear();
        shell.questions.clear();
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

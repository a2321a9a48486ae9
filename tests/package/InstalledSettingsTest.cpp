// Run by check-package.sh as an ordinary user against the unpacked package:
// the installed program folder cannot be written, so the settings live in the
// user's configuration folder, where the Options dialog's OK must succeed; and
// a project named on the command line fills the main window's fields.

#include "app/MainController.h"
#include "app/MainWindows.h"
#include "app/TavoApplication.h"
#include "dialogs/TForm1.h"
#include "dialogs/TfrmOptions.h"
#include "engine/ProjectFile.h"

#include "WindowTestSupport.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>
#include <unistd.h>

namespace tavo::testing {
namespace {

TEST(InstalledSettingsTest, SettingsGoToTheUsersFolderAndACommandLineProjectFillsTheFields)
{
    const QString program = QString::fromLocal8Bit(qgetenv("TAVO_INSTALLED_PROGRAM"));
    if (program.isEmpty())
        GTEST_SKIP() << "run by check-package.sh against an unpacked package";
    ASSERT_NE(::geteuid(), 0u) << "must run as an ordinary user";
    const QString user = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/tavo/ini/";
    ASSERT_NE(::access(QFile::encodeName(program + "/ini").constData(), W_OK), 0);

    ensureApplication([](int& argc, char** argv) -> QApplication* {
        return new TavoApplication(argc, argv);
    });
    ScopedRecordingShell recording;
    MainWindows windows(program);
    windows.Form1().show();
    EXPECT_TRUE(recording.shell.messages.isEmpty()) << recording.shell.messages.join('|').toStdString();
    // The shipped defaults were copied on the first start.
    EXPECT_EQ(readAll(user + "s.txt"), readAll(program + "/ini/s.txt"));
    EXPECT_EQ(readAll(user + "config.ini"), readAll(program + "/ini/config.ini"));

    // Options... > OK writes the user's settings file, not the installed one.
    TfrmOptions& options = windows.frmOptions();
    QTimer::singleShot(0, &options, [&options] {
        options.findChild<QLineEdit*>(QStringLiteral("EditProxyServer"))->setText(QStringLiteral("proxy.example"));
        options.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
    });
    windows.controller().Options1Click();
    EXPECT_TRUE(recording.shell.messages.isEmpty()) << recording.shell.messages.join('|').toStdString();
    EXPECT_TRUE(readAll(user + "config.ini").contains("ProxyServer=proxy.example\r\n"))
        << readAll(user + "config.ini").toStdString();

    QTemporaryDir dir;
    const QString project = dir.path() + "/Area.tavo";
    WriteNewProject(project, {"10.5", "11", "46", "45.25"}, 13, {4334, 4356, 5253, 5270}, 4);
    windows.controller().openProjectFile(project);
    TForm1& form = windows.Form1();
    EXPECT_EQ(form.Edit1()->text(), "10.5");
    EXPECT_EQ(form.Edit4()->text(), "45.25");
    EXPECT_EQ(form.Edit10()->text(), "4");
    EXPECT_EQ(form.Edit6()->text(), dir.path() + '/');
    EXPECT_EQ(form.Edit11()->text(), "Area.tavo");

    windows.controller().openProjectFile(dir.path() + "/gone.tavo");
    EXPECT_EQ(recording.shell.messages, QStringList{"Cannot open file " + dir.path() + "/gone.tavo"});
    EXPECT_EQ(form.Edit11()->text(), "Area.tavo");
}

} // namespace
} // namespace tavo::testing

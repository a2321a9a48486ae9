#include "AppHarness.h"

#include "dialogs/TfrmAbout.h"
#include "dialogs/TfrmConvert.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/TfrmSingle.h"

#include <QAction>
#include <QLabel>
#include <QTimer>

using namespace tavo;
using namespace tavo::testing;

namespace {

class MenuTest : public AppHarness
{
protected:
    // Runs `trigger`, which opens a modal window; the window is looked at by
    // `inspect` and closed as soon as it shows.
    void whileModal(const std::function<void()>& trigger,
                    const std::function<void(QWidget*)>& inspect)
    {
        bool seen = false;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                seen = true;
                inspect(modal);
                modal->close();
            }
        });
        poll.start();
        trigger();
        EXPECT_TRUE(seen);
    }
};

TEST_F(MenuTest, ViewLogNowBeforeAnyJobSaysThereIsNoLogAndAfterOneOpensIt)
{
    startServer();
    writeProxySettings();
    launch();
    QTest::keyClick(&form(), Qt::Key_F12);
    EXPECT_EQ(shell.messages, QStringList{"No logfile now.      "});
    EXPECT_TRUE(shell.openedDocuments.isEmpty());

    enterJob("116.3", "116.31", "40", "39.99", 13, 1, "Job.tavo");
    pressDownload();
    ASSERT_TRUE(waitForFinish());
    const qsizetype messagesBefore = shell.messages.size();
    form().Viewlognow1()->trigger();
    EXPECT_EQ(shell.openedDocuments, QStringList{savePath("Job_log.txt")});
    EXPECT_EQ(shell.messages.size(), messagesBefore);
    shell.documentsOpen = false;
    QTest::keyClick(&form(), Qt::Key_F12);
    EXPECT_EQ(shell.messages.last(), "The desktop could not open " + savePath("Job_log.txt"));
}

TEST_F(MenuTest, SiblingProgramsManualAndHomepageGoToTheDesktop)
{
    launch();
    QDir().mkpath(saveFolder);
    writeFile(savePath("Job.tavo"), "[Zoom]\r\nZoom=13\r\n");
    const QString folder = QCoreApplication::applicationDirPath() + "/";
    const struct
    {
        const char* typed; // the project name field
        QStringList viewerArguments, combinerArguments;
    } cases[] = {
        {"Nowhere", {}, {}}, // names no project file: the programs start empty
        {"Job", {savePath("Job.tavo")}, {"--window", savePath("Job.tavo")}},
        {"Job.tavo", {savePath("Job.tavo")}, {"--window", savePath("Job.tavo")}},
    };
    for (const auto& c : cases) {
        form().Edit6()->setText(saveFolder);
        form().Edit11()->setText(c.typed);
        shell.startedPrograms.clear();
        shell.programArguments.clear();
        form().SatelliteImagesViewer1()->trigger();
        form().CombineImages1()->trigger();
        EXPECT_EQ(shell.startedPrograms, (QStringList{folder + "glimpse", folder + "weaver"}));
        EXPECT_EQ(shell.programArguments,
                  (QList<QStringList>{c.viewerArguments, c.combinerArguments}))
            << c.typed;
    }
    EXPECT_TRUE(shell.messages.isEmpty()); // a missing program is not reported

    form().Usermanual1()->trigger();
    form().Homepage1()->trigger();
    EXPECT_EQ(shell.openedDocuments,
              (QStringList{programFolder + "help/help.html", "http://www.tavosoft.net"}));
    EXPECT_TRUE(shell.messages.isEmpty());

    // The desktop has no program for the file: a box names it.
    shell.documentsOpen = false;
    form().Usermanual1()->trigger();
    EXPECT_EQ(shell.messages,
              QStringList{"The desktop could not open " + programFolder + "help/help.html"});
}

TEST_F(MenuTest, AboutBoxShowsTheCurrentCaptionAndItsLinks)
{
    launch();
    form().setWindowTitle("Tavo 8.07 - changed");
    whileModal([&] { form().About1()->trigger(); },
               [&](QWidget* modal) {
                   auto* about = qobject_cast<TfrmAbout*>(modal);
                   ASSERT_NE(about, nullptr);
                   EXPECT_EQ(about->Label3()->text(), "Tavo 8.07 - changed");
                   EXPECT_EQ(about->Label4()->text(), "http://www.tavosoft.net");
                   EXPECT_EQ(about->Label7()->text(), "mailto:support@tavosoft.net");
               });
}

TEST_F(MenuTest, OptionsAreModalAndTheToolWindowsOpenBesideTheMainWindow)
{
    launch();
    whileModal([&] { form().Options1()->trigger(); },
               [&](QWidget* modal) { EXPECT_NE(qobject_cast<TfrmOptions*>(modal), nullptr); });

    form().Convert1()->trigger();
    EXPECT_TRUE(windows->frmConvert().isVisible());
    form().Convert1()->trigger(); // already open: stays one window
    EXPECT_TRUE(windows->frmConvert().isVisible());
    form().Downloadsingleimage1()->trigger();
    EXPECT_TRUE(windows->frmSingle().isVisible());
    EXPECT_FALSE(windows->frmSingle().isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(MenuTest, FolderBrowserFillsThePathOnlyWhenAFolderIsChosen)
{
    launch();
    form().Edit6()->setText("/kept");
    QTest::mouseClick(form().Button1(), Qt::LeftButton); // cancelled
    EXPECT_EQ(form().Edit6()->text(), "/kept");
    shell.answers.push_back("/srv/maps");
    QTest::mouseClick(form().Button1(), Qt::LeftButton);
    EXPECT_EQ(form().Edit6()->text(), "/srv/maps");
    EXPECT_EQ(shell.browseTitles, (QStringList{"Select path to save", "Select path to save"}));
}

TEST_F(MenuTest, OpenProjectUsesItsDialogSettingsAndACancelChangesNothing)
{
    writeFile(programFolder + "ini/config.ini",
              "[IniParas]\r\nDefaultPath=/data/jobs\r\nDefaultZoom=11\r\nDefaultThreadCount=4\r\n");
    launch();
    form().Edit1()->setText("1");
    QTest::mouseClick(form().Button2(), Qt::LeftButton); // cancelled
    EXPECT_EQ(shell.openRequests,
              QStringList{"Open project file:|/data/jobs|TAVO Projects(*.tavo)"});
    EXPECT_EQ(form().Edit1()->text(), "1");

    // A file without keys: empty area, the default zoom and count.
    QDir().mkpath(saveFolder);
    writeFile(savePath("Empty.tavo"), "[AREA]\r\n");
    shell.answers.push_back(savePath("Empty.tavo"));
    form().LoadParametersfromprojectfilel1()->trigger();
    EXPECT_EQ(form().Edit1()->text(), "");
    EXPECT_EQ(form().Edit5()->text(), "11");
    EXPECT_EQ(form().Edit10()->text(), "4");
    EXPECT_EQ(form().Edit6()->text(), saveFolder + "/");
    EXPECT_EQ(form().Edit11()->text(), "Empty.tavo");
}

} // namespace

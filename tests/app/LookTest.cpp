// What every window of the program shares in its look, checked on the real
// set of windows.

#include "AppHarness.h"

#include "dialogs/TfrmAbout.h"
#include "dialogs/TfrmConvert.h"
#include "dialogs/TfrmOptions.h"
#include "dialogs/TfrmSingle.h"
#include "dialogs/WindowStyle.h"

#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>

using namespace tavo;
using namespace tavo::testing;

namespace {

class LookTest : public AppHarness
{
};

TEST_F(LookTest, EveryWindowUsesTheElevenPixelWindowFont)
{
    launch();
    const std::pair<const char*, QWidget*> windowsAndNames[] = {
        {"main window", &form()},
        {"About", &windows->frmAbout()},
        {"converter", &windows->frmConvert()},
        {"Options", &windows->frmOptions()},
        {"single image", &windows->frmSingle()},
    };
    for (const auto& [name, window] : windowsAndNames) {
        EXPECT_EQ(window->font().pixelSize(), style::kWindowFontPixels) << name;
        EXPECT_EQ(window->font().families(), style::windowFont().families()) << name;
    }
    // A menu pops up as a window of its own and takes no font from the window it belongs to.
    const QList<QAction*> barItems = form().menuBar()->actions();
    ASSERT_FALSE(barItems.isEmpty());
    for (QAction* item : barItems) {
        ASSERT_NE(item->menu(), nullptr) << qPrintable(item->text());
        EXPECT_EQ(item->menu()->font().pixelSize(), style::kWindowFontPixels)
            << qPrintable(item->text());
        EXPECT_EQ(item->menu()->font().families(), style::windowFont().families())
            << qPrintable(item->text());
    }
}

TEST_F(LookTest, LogWindowGreenColoursItsTextButNotItsScrollBars)
{
    launch();
    QPlainTextEdit* memo = form().Memo1();
    EXPECT_EQ(memo->palette().color(QPalette::Text), style::green());
    for (QScrollBar* bar : {memo->verticalScrollBar(), memo->horizontalScrollBar()}) {
        for (const auto role : {QPalette::WindowText, QPalette::ButtonText})
            EXPECT_NE(bar->palette().color(role), style::green()) << int(role);
    }
}

TEST_F(LookTest, WindowTitlesGetNoProgramNameAppended)
{
    launch();
    EXPECT_EQ(form().windowTitle(), "Tavo 8.07");
    // The desktop appends a display name only when one was set: with none set,
    // the display name follows the application name.
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("probe"));
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QStringLiteral("probe"));
    QCoreApplication::setApplicationName(name);
}

} // namespace

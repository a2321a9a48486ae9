#include "WeaverTestSupport.h"

#include "weaver/WeaverWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSignalSpy>
#include <QTest>

namespace tavo::weaver::testing {
namespace {

QApplication& app()
{
    static int argc = 1;
    static char name[] = "weaver_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

TEST(WindowTest, StartShowsProgressAndCancelLeavesNoOutput)
{
    app();
    JobFixture job({100, 163, 200, 263}); // 4,096 tiles
    job.linkOneTile();
    const QString settings = job.path("weaver.ini");

    auto window = std::make_unique<WeaverWindow>(settings, placeholderPath());
    window->show();
    window->projectEdit()->setText(job.projectPath());
    window->outputEdit()->setText(job.path("area.tif"));
    EXPECT_FALSE(window->cancelButton()->isEnabled());

    QSignalSpy finished(window.get(), &WeaverWindow::weaveFinished);
    QTest::mouseClick(window->startButton(), Qt::LeftButton);
    EXPECT_FALSE(window->startButton()->isEnabled());
    EXPECT_TRUE(window->cancelButton()->isEnabled());
    // Wait for the first real progress, then cancel.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->progressBar()->value() > 0; }, 60000));
    EXPECT_TRUE(window->progressLabel()->text().contains("of 4,096 tiles"))
        << window->progressLabel()->text().toStdString();
    QTest::mouseClick(window->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(finished.at(0).at(0).toBool(), false);
    EXPECT_TRUE(window->summaryView()->toPlainText().contains("Cancelled"));
    EXPECT_TRUE(window->startButton()->isEnabled());
    QStringList left = job.otherFiles();
    left.removeAll("weaver.ini");
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();

    // A run to the end: a PNG at 1/8 (2,048 pixels a side).
    window->scaleBox()->setCurrentIndex(3);
    window->formatBox()->setCurrentIndex(window->formatBox()->findData(int(OutputFormat::Png)));
    EXPECT_EQ(window->outputEdit()->text(), job.path("area.png"));
    QTest::mouseClick(window->startButton(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(finished.at(1).at(0).toBool(), true) << window->summaryView()->toPlainText().toStdString();
    EXPECT_TRUE(window->summaryView()->toPlainText().contains("2048 x 2048 pixels"));
    EXPECT_EQ(window->progressBar()->value(), window->progressBar()->maximum());
    EXPECT_TRUE(QFileInfo::exists(job.path("area.pgw")));

    // A tile store: no scale, a lowest zoom level instead.
    window->formatBox()->setCurrentIndex(
        window->formatBox()->findData(int(OutputFormat::GeoPackage)));
    EXPECT_EQ(window->outputEdit()->text(), job.path("area.gpkg"));
    EXPECT_FALSE(window->scaleBox()->isEnabled());
    ASSERT_TRUE(window->minZoomBox()->isEnabled());
    window->minZoomBox()->setValue(8);
    QTest::mouseClick(window->startButton(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(finished.at(2).at(0).toBool(), true);
    EXPECT_TRUE(window->summaryView()->toPlainText().contains("zoom levels 8 to 10"))
        << window->summaryView()->toPlainText().toStdString();

    // The project, format and lowest zoom come back in the next window.
    window.reset();
    WeaverWindow again(settings, placeholderPath());
    EXPECT_EQ(again.projectEdit()->text(), job.projectPath());
    EXPECT_EQ(again.outputEdit()->text(), job.path("Job.gpkg"));
    EXPECT_EQ(again.minZoomBox()->value(), 8);
}

} // namespace
} // namespace tavo::weaver::testing

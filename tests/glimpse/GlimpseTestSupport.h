#pragma once

#include "engine/ProjectFile.h"

#include <QApplication>
#include <QColor>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace tavo::glimpsetest {

inline void ensureApplication()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tavo_glimpse_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives until the process ends
}

// Runs the event loop until `done` holds or 10 s pass; returns `done()`.
template <typename Condition> bool waitFor(Condition done)
{
    const QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

inline QString placeholderPath()
{
    return QStringLiteral(TAVO_SOURCE_DIR "/blankimg/blank.jpg");
}

// A job of 20 x 15 tiles at zoom 13 whose tiles are plain colours, each its
// own (red grows with the column, green with the row), and a few tiles of
// every other kind.
struct TestJob
{
    static constexpr int Zoom = 13;
    static constexpr qint32 MinX = 4330, MinY = 5250, Columns = 20, Rows = 15;
    static constexpr qint32 MaxX = MinX + Columns - 1, MaxY = MinY + Rows - 1;

    QTemporaryDir dir;
    QString projectPath;
    QString imageFolder;

    // Tiles that are not good images, by kind.
    const QList<QPoint> missing{
        {4330, 5250}, {4349, 5264}, {4335, 5257}, {4336, 5257}, {4340, 5260}};
    const QPoint placeholder{4341, 5260};
    const QPoint empty{4342, 5260};
    const QPoint html{4343, 5260};
    const QPoint part{4344, 5260};

    static QColor colourOf(qint32 x, qint32 y)
    {
        return QColor(20 + 10 * (x - MinX), 20 + 12 * (y - MinY), 128);
    }

    explicit TestJob(bool withFolder = true)
    {
        projectPath = dir.filePath(QStringLiteral("Test job.tavo"));
        imageFolder = dir.filePath(QStringLiteral("Test job/"));
        WriteNewProject(projectPath, {"10.1", "10.9", "45.5", "45.1"}, Zoom,
                        {MinX, MaxX, MinY, MaxY}, 2);
        if (!withFolder)
            return;
        EXPECT_TRUE(QDir().mkpath(imageFolder));
        for (qint32 x = MinX; x <= MaxX; ++x)
            for (qint32 y = MinY; y <= MaxY; ++y) {
                const QPoint p(x, y);
                if (missing.contains(p) || p == part)
                    continue;
                const QString path = imageFolder + tileFileName(x, y);
                if (p == placeholder) {
                    EXPECT_TRUE(QFile::copy(placeholderPath(), path));
                } else if (p == empty || p == html) {
                    QFile file(path);
                    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
                    if (p == html)
                        file.write("<html><body>Service unavailable</body></html>");
                } else {
                    QImage image(16, 16, QImage::Format_RGB32);
                    image.fill(colourOf(x, y));
                    EXPECT_TRUE(image.save(path, "JPEG", 100));
                }
            }
        QFile partFile(imageFolder + tileFileName(part.x(), part.y()) + QStringLiteral(".part"));
        EXPECT_TRUE(partFile.open(QIODevice::WriteOnly));
        partFile.write("\xff\xd8\xff\xe0");
    }
};

} // namespace tavo::glimpsetest

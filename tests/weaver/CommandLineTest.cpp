#include "WeaverTestSupport.h"

#include "weaver/CommandLine.h"

#include <QFileInfo>

#include <tiffio.h>

#include <iterator>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace tavo::weaver::testing {
namespace {

struct Outcome
{
    int status = -1; // exit status; -1 when it did not exit normally
    QString err;
    long peakKb = 0; // the run's largest resident size
};

// Runs the weaver program with `args`; a nonzero `fileSizeLimit` makes every
// write beyond that size fail as on a full disk.
Outcome runWeaver(const QStringList& args, const QString& errPath, rlim_t fileSizeLimit = 0)
{
    std::vector<QByteArray> storage{QByteArray(WEAVER_EXECUTABLE)};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const QByteArray errFile = QFile::encodeName(errPath);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(60); // a run that never ends is ended: the test fails, it does not hang
        const int fd = ::open(errFile.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        ::dup2(fd, 1);
        if (fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN); // a failed write, not a killed process
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Outcome run;
    int status = 0;
    rusage usage{};
    EXPECT_EQ(::wait4(pid, &status, 0, &usage), pid);
    run.peakKb = usage.ru_maxrss;
    if (WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    run.err = QString::fromLocal8Bit(readFileBytes(errPath));
    QFile::remove(errPath);
    return run;
}

TEST(CommandLineTest, ExitStatusTellsWhetherTheOutputWasWritten)
{
    JobFixture job({300, 339, 400, 439}); // 1,600 tiles, one file linked
    job.linkOneTile();
    const QString blocked = job.path("blocked");
    writeFile(blocked + ".tavo", readFileBytes(job.projectPath()));
    writeFile(blocked, "a file where the tile folder should be");
    const QString err = QDir::temp().filePath(QStringLiteral("weaver-err-%1").arg(::getpid()));

    struct Case
    {
        const char* what;
        QStringList args;
        rlim_t fileSizeLimit;
        int status;
        const char* message;
        const char* output; // must not exist afterwards; empty: no check
    };
    const QString out = job.path("area.tif");
    const Case cases[] = {
        {"help", {"--help"}, 0, ExitDone, "Usage: weaver", ""},
        {"bad scale", {"--project", job.projectPath(), "--out", out, "--scale", "3"}, 0, ExitUsage,
         "--scale 3", "area.tif"},
        {"unknown extension", {"--project", job.projectPath(), "--out", job.path("area.gpgk")}, 0,
         ExitUsage, "mbtiles, gpkg, sqlitedb", "area.gpgk"},
        {"scale of a tile store", {"--project", job.projectPath(), "--out", job.path("a.mbtiles"),
          "--scale", "2"}, 0, ExitUsage, "--scale does not apply to mbtiles", "a.mbtiles"},
        {"no project", {"--project", job.path("none.tavo"), "--out", out}, 0, ExitFailed,
         "Cannot open file", "area.tif"},
        {"tile folder unreadable", {"--project", blocked + ".tavo", "--out", out}, 0, ExitFailed,
         "Cannot read the tile folder", "area.tif"},
        {"no output folder", {"--project", job.projectPath(), "--out", job.path("no/area.tif")}, 0,
         ExitFailed, "does not exist", ""},
        {"output folder not writable", {"--project", job.projectPath(), "--out", "/proc/area.tif"},
         0, ExitFailed, "Cannot write in the folder /proc", ""},
        {"disk full, GeoTIFF", {"--project", job.projectPath(), "--out", out}, 64 * 1024,
         ExitFailed, "Nothing was written", "area.tif"},
        {"disk full, MBTiles", {"--project", job.projectPath(), "--out", job.path("a.mbtiles")},
         64 * 1024, ExitFailed, "Nothing was written", "a.mbtiles"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome run = runWeaver(c.args, err, c.fileSizeLimit);
        EXPECT_EQ(run.status, c.status) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(c.message)) << run.err.toStdString();
        if (*c.output) {
            EXPECT_FALSE(QFileInfo::exists(job.path(c.output)));
        }
        QStringList left = job.otherFiles();
        left.removeAll("blocked");
        left.removeAll("blocked.tavo");
        EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    }

    // And the same job with room to write: 0, a summary, the file.
    const Outcome done = runWeaver({"--project", job.projectPath(), "--out", job.path("a.mbtiles")}, err);
    EXPECT_EQ(done.status, ExitDone) << done.err.toStdString();
    EXPECT_TRUE(done.err.contains("1600 of 1600 tiles")) << done.err.toStdString();
    EXPECT_GT(QFileInfo(job.path("a.mbtiles")).size(),
              1600 * QFileInfo(job.tilePath(300, 400)).size());
}

TEST(CommandLineTest, GeoTiffOnAFullFileSystemFailsAtOnce)
{
    JobFixture job({300, 339, 400, 439}); // 1,600 tiles (about 2.5 MB of GeoTIFF)
    job.linkOneTile();
    const QString small = job.path("small");
    ASSERT_TRUE(QDir().mkpath(small));
    if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MB tmpfs here: " << std::strerror(errno);
    const QString err = QDir::temp().filePath(QStringLiteral("weaver-err-%1").arg(::getpid()));
    const Outcome run =
        runWeaver({"--project", job.projectPath(), "--out", small + "/area.tif"}, err);
    const QStringList left = QDir(small).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    ::umount2(QFile::encodeName(small).constData(), MNT_DETACH);
    EXPECT_EQ(run.status, ExitFailed) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("No space left on device")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("Nothing was written")) << run.err.toStdString();
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
}

TEST(CommandLineTest, AStoppedJobsHugeSparseAreaCostsItsTilesNotItsArea)
{
    // The whole grid of zoom 11 (4.2 million places), six tiles fetched.
    JobFixture job({0, 2047, 0, 2047});
    writeFile(job.projectPath(), readFileBytes(job.projectPath()).replace("Zoom=10", "Zoom=11"));
    const TilePosition fetched[] = {{0, 0}, {2047, 2047}, {0, 2047}, {2047, 0}, {1000, 1500}, {1001, 1500}};
    for (std::size_t i = 0; i < std::size(fetched); ++i)
        writeFile(job.tilePath(fetched[i].x, fetched[i].y), pictureJpeg(int(i) + 1));
    const QString err = QDir::temp().filePath(QStringLiteral("weaver-err-%1").arg(::getpid()));
    for (const char* name : {"sparse.mbtiles", "sparse.tif"}) {
        SCOPED_TRACE(name);
        // Memory of a small job, not of 4.2 million places (a band of the
        // area's width alone is 256 MB); a run that walks every place does
        // not finish before the alarm ends it.
        const Outcome run = runWeaver({"--project", job.projectPath(), "--out", job.path(name)}, err);
        EXPECT_EQ(run.status, ExitDone) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("6 of 4194304 tiles")) << run.err.toStdString();
        EXPECT_LT(run.peakKb, 200 * 1024);
    }
    // Every fetched tile in its place in the GeoTIFF, every other place sparse.
    TIFF* tif = TIFFOpen(QFile::encodeName(job.path("sparse.tif")).constData(), "r");
    ASSERT_NE(tif, nullptr);
    EXPECT_EQ(TIFFNumberOfTiles(tif), 2048u * 2048u);
    for (const TilePosition& t : fetched) {
        const uint32_t tile = TIFFComputeTile(tif, uint32_t(t.x) * 256, uint32_t(2047 - t.y) * 256, 0, 0);
        EXPECT_GT(TIFFGetStrileByteCount(tif, tile), 0u) << t.x << "," << t.y;
    }
    uint32_t present = 0;
    for (uint32_t tile = 0; tile < 2048u * 2048u; ++tile)
        present += TIFFGetStrileByteCount(tif, tile) > 0;
    EXPECT_EQ(present, std::size(fetched));
    TIFFClose(tif);
}

} // namespace
} // namespace tavo::weaver::testing

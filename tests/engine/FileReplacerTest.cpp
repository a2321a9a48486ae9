#include "engine/FileReplacer.h"
#include "engine/AppError.h"
#include "engine/IniFile.h"
#include "engine/ProjectFile.h"

#include "FileTestSupport.h"
#include "FullDisk.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavo;
using namespace tavo::testing;

namespace {

// Larger than the file-size limit below, so that any rewrite of it fails.
const QByteArray OldContent =
    "[AREA]\r\nLeftLongitude=" + QByteArray(40000, '1') + "\r\n[THREADS]\r\nT1X=5\r\nT1Y=6\r\n";

// Every writer of a whole file, each asked to write more than the limit allows.
struct Writer
{
    const char* name;
    std::function<bool(const QString& path)> write; // true when it reported the failure
};

const QByteArray Big(64 * 1024, 'b');

std::vector<Writer> writers()
{
    return {
        {"FileReplacer::replace",
         [](const QString& path) {
             int error = 0;
             return !FileReplacer::replace(path, Big, nullptr, &error) && error != 0;
         }},
        {"IniFile::writeString",
         [](const QString& path) {
             IniFile ini(path);
             return appErrorText([&] {
                        ini.writeString("IniParas", "DefaultPath", QString(Big));
                    }) == "Unable to write to " + path;
         }},
        {"FileReplacer, a tile (unsynced)",
         [](const QString& path) {
             FileReplacer tile(path, FileReplacer::Temporary::PartSuffix,
                               FileReplacer::Durability::Unsynced);
             return !(tile.open() && tile.write(Big) && tile.commit()) && tile.error() != 0;
         }},
        {"SavePositions",
         [](const QString& path) {
             return appErrorText([&] {
                        SavePositions(path, {{7, 8}});
                    }) == "Unable to write to " + path;
         }},
    };
}

TEST(FileReplacer, AFailedWriteLeavesTheOldFileAndNoTemporary)
{
    for (const Writer& writer : writers()) {
        TempFolder dir;
        const QString path = dir.path("target.tavo");
        writeBytes(path, OldContent);
        const int status =
            runWithFileSizeLimit(32 * 1024, [&] { return writer.write(path) ? 0 : 1; });
        EXPECT_EQ(status, 0) << writer.name << ": the failure was not reported";
        EXPECT_EQ(readBytes(path), OldContent) << writer.name;
        EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{"target.tavo"})
            << writer.name;
    }
}

TEST(FileReplacer, FullFileSystemLeavesTheOldFile)
{
    SmallFileSystem disk(256 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small file system is not permitted here";
    const QString path = disk.path() + "/J.tavo";
    writeBytes(path, OldContent);
    disk.fill();

    for (const Writer& writer : writers())
        EXPECT_TRUE(writer.write(path) || writer.name == std::string("FileReplacer::replace"))
            << writer.name;
    int error = 0;
    EXPECT_FALSE(FileReplacer::replace(path, Big, nullptr, &error));
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(readBytes(path), OldContent);
    EXPECT_EQ(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{"J.tavo", "filler"}));

    // With room again the same write goes through whole.
    disk.removeFiller();
    EXPECT_TRUE(FileReplacer::replace(path, Big));
    EXPECT_EQ(readBytes(path), Big);
}

TEST(FileReplacer, KeepsPermissionsAndRefusesToReplaceWhenAsked)
{
    TempFolder dir;
    const QString path = dir.path("tile.jpg");
    writeBytes(path, "old");
    const QByteArray encoded = QFile::encodeName(path);
    ASSERT_EQ(::chmod(encoded.constData(), 0604), 0);
    ASSERT_TRUE(FileReplacer::replace(path, "new"));
    EXPECT_EQ(readBytes(path), "new");
    struct stat info;
    ASSERT_EQ(::stat(encoded.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);

    FileReplacer noReplace(path, FileReplacer::Temporary::PartSuffix);
    ASSERT_TRUE(noReplace.open());
    ASSERT_TRUE(noReplace.write("placeholder"));
    EXPECT_FALSE(noReplace.commitIfAbsent());
    EXPECT_EQ(noReplace.error(), EEXIST);
    EXPECT_EQ(readBytes(path), "new");
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files), QStringList{"tile.jpg"});
}

// A "<name>.part" left by an interrupted write is replaced, and never followed
// when it is a link planted there.
TEST(FileReplacer, LeftoverPartFileIsReplacedNotFollowed)
{
    TempFolder dir;
    const QString path = dir.path("3_4.jpg");
    writeBytes(dir.path("other"), "other");
    ASSERT_TRUE(QFile::link(dir.path("other"), path + ".part"));

    FileReplacer tile(path, FileReplacer::Temporary::PartSuffix,
                      FileReplacer::Durability::Unsynced);
    ASSERT_TRUE(tile.open() && tile.write("tile") && tile.commit()) << tile.error();
    EXPECT_EQ(readBytes(path), "tile");
    EXPECT_EQ(readBytes(dir.path("other")), "other");
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files | QDir::System, QDir::Name),
              (QStringList{"3_4.jpg", "other"}));
}

// A tile's temporary is renamed without a look at the target; what is there
// is checked only when the rename finds something.
TEST(FileReplacer, TileCommitChecksWhatIsThere)
{
    struct Case
    {
        const char* name;
        std::function<void(const QString& path)> prepare;
        int error;               // expected errno of commit, 0 for success
        QByteArray content;      // the target's bytes afterwards (empty: a folder)
        unsigned mode;           // its permission bits afterwards, 0 to skip
    };
    const std::vector<Case> cases = {
        {"nothing there", [](const QString&) {}, 0, "tile", 0},
        {"a tile, mode kept",
         [](const QString& path) {
             writeBytes(path, "old");
             ::chmod(QFile::encodeName(path).constData(), 0604);
         },
         0, "tile", 0604},
        {"a read-only tile",
         [](const QString& path) {
             writeBytes(path, "old");
             ::chmod(QFile::encodeName(path).constData(), 0444);
         },
         EACCES, "old", 0444},
        {"a folder", [](const QString& path) { QDir().mkdir(path); }, EISDIR, {}, 0},
    };
    for (const Case& c : cases) {
        if (c.error == EACCES && ::geteuid() == 0)
            continue; // permission bits bind everybody but root
        TempFolder dir;
        const QString path = dir.path("5_6.jpg");
        c.prepare(path);
        FileReplacer tile(path, FileReplacer::Temporary::PartSuffix,
                          FileReplacer::Durability::Unsynced);
        const bool done = tile.open() && tile.write("tile") && tile.commit();
        EXPECT_EQ(done, c.error == 0) << c.name;
        EXPECT_EQ(tile.error(), c.error) << c.name;
        if (!c.content.isEmpty()) {
            EXPECT_EQ(readBytes(path), c.content) << c.name;
        }
        struct stat info;
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << c.name;
        if (c.mode != 0) {
            EXPECT_EQ(info.st_mode & 07777, c.mode) << c.name;
        }
        EXPECT_FALSE(QFileInfo::exists(path + ".part")) << c.name;
    }
}

} // namespace

// A project, settings or log file that is a symbolic link is written where the
// link points; the link stays a link and no temporary file is left anywhere.
TEST(FileReplacer, WritesThroughSymbolicLinks)
{
    struct Case
    {
        const char* name;
        const char* linkTo;  // what the link "Job.tavo" in folder "a" holds
        const char* target;  // the file that must get the content, under the root
        bool targetExists;
    };
    const Case cases[] = {
        {"relative link", "../b/real.tavo", "b/real.tavo", true},
        {"absolute link", nullptr, "b/real.tavo", true},
        {"link to a link", "chain.tavo", "b/real.tavo", true},
        {"dangling link", "../b/new.tavo", "b/new.tavo", false},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        ASSERT_TRUE(QDir().mkpath(dir.path("a")) && QDir().mkpath(dir.path("b")));
        const QString target = dir.path(c.target);
        if (c.targetExists)
            writeBytes(target, "old");
        const QString link = dir.path("a/Job.tavo");
        const QByteArray linkText = c.linkTo ? QByteArray(c.linkTo) : QFile::encodeName(target);
        if (QByteArray(c.linkTo ? c.linkTo : "") == "chain.tavo")
            ASSERT_EQ(::symlink("../b/real.tavo", QFile::encodeName(dir.path("a/chain.tavo")).constData()), 0);
        ASSERT_EQ(::symlink(linkText.constData(), QFile::encodeName(link).constData()), 0);

        ASSERT_TRUE(FileReplacer::replace(link, "new")) << c.name;
        EXPECT_TRUE(QFileInfo(link).isSymLink()) << c.name;
        EXPECT_EQ(readBytes(target), "new") << c.name;
        const QStringList left = QDir(dir.path("a")).entryList(QDir::Files | QDir::System) +
                                 QDir(dir.path("b")).entryList(QDir::Files | QDir::System);
        for (const QString& name : left)
            EXPECT_FALSE(name.endsWith(".tmp")) << c.name << " left " << name.toStdString();
    }
}

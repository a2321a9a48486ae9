#include "engine/SettingsLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace tavo {

namespace {

QString withSlash(const QString& folder)
{
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

// True when a new file can be created in `folder`: the test the writes will
// meet (permissions, a read-only mount), made by creating and removing one.
bool canCreateFilesIn(const QString& folder)
{
    const QByteArray probe = QFile::encodeName(folder + QStringLiteral(".write-test-") +
                                               QString::number(::getpid()));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.constData());
    return true;
}

// `folder`, created when missing and given a copy of every file of `shipped`
// it does not hold yet; `shipped` itself when `folder` cannot be created.
QString seededFolder(const QString& folder, const QString& shipped)
{
    if (!QDir().mkpath(folder))
        return shipped;
    const QStringList defaults = QDir(shipped).entryList(QDir::Files | QDir::Readable);
    for (const QString& name : defaults) {
        if (!QFileInfo::exists(folder + name))
            QFile::copy(shipped + name, folder + name); // never replaces a file there
    }
    return folder;
}

} // namespace

QString userSettingsFolder()
{
    QString base = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return withSlash(base) + QStringLiteral("tavo/ini/");
}

QString chosenSettingsFolder()
{
    const QString chosen = QString::fromLocal8Bit(qgetenv(SettingsFolderVariable));
    if (chosen.isEmpty() || !QDir::isAbsolutePath(chosen))
        return {};
    return withSlash(QDir::cleanPath(chosen));
}

QString settingsFolder(const QString& programFolder)
{
    if (const QString chosen = chosenSettingsFolder(); !chosen.isEmpty())
        return seededFolder(chosen, withSlash(programFolder) + QStringLiteral("ini/"));

    // A program folder without "ini/" that can be written is a copy someone
    // is setting up: its writes fail with the usual error rather than go
    // elsewhere unnoticed.
    const QString shipped = withSlash(programFolder) + QStringLiteral("ini/");
    const bool writable = QFileInfo(shipped).isDir() ? canCreateFilesIn(shipped)
                                                     : canCreateFilesIn(withSlash(programFolder));
    return settingsFolder(programFolder, writable);
}

QString settingsFolder(const QString& programFolder, bool shippedWritable)
{
    const QString shipped = withSlash(programFolder) + QStringLiteral("ini/");
    if (shippedWritable)
        return shipped;

    return seededFolder(userSettingsFolder(), shipped);
}

} // namespace tavo

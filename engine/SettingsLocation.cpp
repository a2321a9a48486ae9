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

} // namespace

QString userSettingsFolder()
{
    QString base = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return withSlash(base) + QStringLiteral("tavo/ini/");
}

QString settingsFolder(const QString& programFolder)
{
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

    const QString user = userSettingsFolder();
    if (!QDir().mkpath(user))
        return shipped;
    const QStringList defaults = QDir(shipped).entryList(QDir::Files | QDir::Readable);
    for (const QString& name : defaults) {
        if (!QFileInfo::exists(user + name))
            QFile::copy(shipped + name, user + name); // never replaces the user's file
    }
    return user;
}

} // namespace tavo

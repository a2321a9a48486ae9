#include "weaver/OutputFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cpl_string.h>
#include <gdal.h>
#include <ogr_spatialref.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo::weaver {

namespace {

bool syncFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The process id in a temporary name "<stem>.part-<pid>.<rest>"; 0 for any other name.
pid_t temporaryOwner(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^.+\\.part-([1-9][0-9]{0,9})\\..+$"));
    const QRegularExpressionMatch match = pattern.match(name);
    bool ok = false;
    const qint64 pid = match.hasMatch() ? match.captured(1).toLongLong(&ok) : 0;
    return ok && pid <= std::numeric_limits<pid_t>::max() ? pid_t(pid) : 0;
}

} // namespace

void removeDeadLeftovers(const QString& folder)
{
    QDir dir(folder);
    const QStringList names = dir.entryList({QStringLiteral("*.part-*.*")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const pid_t owner = temporaryOwner(name);
        // Only those of a process that is gone: never a live writer's.
        if (owner == 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH)
            continue;
        struct stat st{};
        if (::lstat(QFile::encodeName(dir.filePath(name)).constData(), &st) == 0 &&
            S_ISREG(st.st_mode))
            dir.remove(name);
    }
}


OutputFiles::OutputFiles(const QString& outPath, OutputFormat format) : m_out(outPath)
{
    const QFileInfo info(outPath);
    const QString folder = info.absolutePath() + u'/';
    const QString suffix = info.suffix();
    const QString stem = suffix.isEmpty() ? info.fileName()
                                          : info.fileName().left(info.fileName().size() -
                                                                 suffix.size() - 1);
    m_tempPrefix = folder + stem + QStringLiteral(".part-%1.").arg(::getpid());
    m_tempMain = m_tempPrefix + (suffix.isEmpty() ? QStringLiteral("out") : suffix);
    if (format == OutputFormat::Jpeg || format == OutputFormat::Png) {
        const QString worldSuffix =
            format == OutputFormat::Jpeg ? QStringLiteral("jgw") : QStringLiteral("pgw");
        m_world = folder + stem + u'.' + worldSuffix;
        m_prj = folder + stem + QStringLiteral(".prj");
        m_tempWorld = m_tempPrefix + worldSuffix;
        m_tempPrj = m_tempPrefix + QStringLiteral("prj");
        m_aux = m_out + QStringLiteral(".aux.xml");
        m_tempAux = m_tempPrefix + QStringLiteral("aux.xml");
    }
}

OutputFiles::~OutputFiles()
{
    if (!m_committed)
        discard();
}

bool OutputFiles::prepare(QString* error)
{
    const QFileInfo out(m_out);
    const QFileInfo folder(out.absolutePath());
    if (out.fileName().isEmpty() || out.isDir()) {
        *error = QStringLiteral("%1 is a folder, not an output file.").arg(m_out);
        return false;
    }
    if (!folder.isDir()) {
        *error = QStringLiteral("The output folder %1 does not exist.").arg(folder.filePath());
        return false;
    }
    removeDeadLeftovers(folder.absoluteFilePath());
    const int fd = ::open(QFile::encodeName(m_tempMain).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = QStringLiteral("Cannot write in the folder %1: %2")
                     .arg(folder.filePath(), systemError());
        return false;
    }
    ::close(fd);
    return true;
}

bool OutputFiles::writeWorldFile(const double* transform) const
{
    if (m_tempWorld.isEmpty())
        return true;
    const QByteArray base = QFile::encodeName(m_tempWorld);
    const QByteArray extension = QFileInfo(m_tempWorld).suffix().toUtf8();
    // GDAL turns the geotransform (pixel corners) into the world file's pixel centres.
    return GDALWriteWorldFile(base.constData(), extension.constData(),
                              const_cast<double*>(transform)) != FALSE &&
           syncFile(m_tempWorld);
}

bool OutputFiles::writeProjection() const
{
    if (m_tempPrj.isEmpty())
        return true;
    OGRSpatialReference srs;
    if (srs.importFromEPSG(3857) != OGRERR_NONE)
        return false;
    srs.morphToESRI();
    char* wkt = nullptr;
    if (srs.exportToWkt(&wkt) != OGRERR_NONE)
        return false;
    const QByteArray text(wkt);
    CPLFree(wkt);
    QFile file(m_tempPrj);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush() &&
           ::fsync(file.handle()) == 0;
}

bool OutputFiles::writeAuxiliary() const
{
    if (m_tempAux.isEmpty())
        return true;
    // GDAL takes the coordinate system of a JPEG or PNG from this side file
    // (the geotransform comes from the world file); it does not read the .prj.
    OGRSpatialReference srs;
    if (srs.importFromEPSG(3857) != OGRERR_NONE)
        return false;
    char* wkt = nullptr;
    if (srs.exportToWkt(&wkt) != OGRERR_NONE)
        return false;
    char* escaped = CPLEscapeString(wkt, -1, CPLES_XML);
    const QByteArray text = QByteArray("<PAMDataset>\n  <SRS dataAxisToSRSAxisMapping=\"1,2\">") +
                            escaped + "</SRS>\n</PAMDataset>\n";
    CPLFree(escaped);
    CPLFree(wkt);
    QFile file(m_tempAux);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush() &&
           ::fsync(file.handle()) == 0;
}

bool OutputFiles::commit(QString* error)
{
    if (!syncFile(m_tempMain)) {
        *error = QStringLiteral("Could not write %1: %2").arg(m_out, systemError());
        return false;
    }
    const QList<QPair<QString, QString>> moves = {
        {m_tempWorld, m_world}, {m_tempPrj, m_prj}, {m_tempAux, m_aux}, {m_tempMain, m_out}};
    for (const auto& [from, to] : moves) {
        if (from.isEmpty())
            continue;
        if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
            *error = QStringLiteral("Could not rename %1 to %2: %3").arg(from, to, systemError());
            return false;
        }
    }
    m_committed = true;
    const int dir = ::open(QFile::encodeName(QFileInfo(m_out).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

void OutputFiles::discard()
{
    // GDAL may have left its own temporary files named after ours.
    const QFileInfo prefix(m_tempPrefix);
    QDir folder(prefix.absolutePath());
    const QStringList names = folder.entryList({prefix.fileName() + u'*'},
                                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        folder.remove(name);
}

} // namespace tavo::weaver

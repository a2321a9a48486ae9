#include "files/JobLog.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/LineReader.h"
#include "engine/TextConv.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <deque>
#include <unistd.h>

namespace tavo {

namespace {

const QByteArray CrLf("\r\n");
const QString Rule32(32, u'-');
const QString Rule44(44, u'-');

QString nowLine(const QDateTime& now)
{
    return QStringLiteral("Now time is:") + nowText(now);
}

QString masked(const QString& secret)
{
    return QString(secret.toUcs4().size(), u'*');
}

// Copies `source` to `out` in bounded pieces with every line end (CR, LF or
// CR LF) made CR LF and a last line without one given CR LF; the other bytes
// pass unchanged. False when reading or writing fails.
bool copyWithCrLf(QIODevice& source, FileReplacer& out)
{
    constexpr qint64 ChunkSize = 256 * 1024;
    QByteArray in(ChunkSize, Qt::Uninitialized);
    QByteArray converted;
    bool afterCr = false;  // the byte before was a CR
    bool openLine = false; // bytes written since the last line end
    for (;;) {
        const qint64 got = source.read(in.data(), ChunkSize);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        converted.clear();
        converted.reserve(got + got / 8);
        for (qint64 i = 0; i < got; ++i) {
            const char c = in[i];
            if (c == '\n' && afterCr) { // the LF of a CR LF already written
                afterCr = false;
                continue;
            }
            afterCr = c == '\r';
            if (c == '\r' || c == '\n') {
                converted += CrLf;
                openLine = false;
            } else {
                converted += c;
                openLine = true;
            }
        }
        if (!out.write(converted))
            return false;
    }
    return !openLine || out.write(CrLf);
}

} // namespace

const QString LostLinesLine =
    QStringLiteral("Log file was removed or cut during the job; earlier lines are lost.");

QString logFileNameFor(const QString& projectBase)
{
    return projectBase + QStringLiteral("_log.txt");
}

QStringList newJobHeaderLines(const NewJobHeader& h)
{
    QStringList lines;
    lines << QStringLiteral("Project: ") + h.saveFolder + h.projectName
          << QStringLiteral("Log begin...") << nowLine(h.now) << QString();
    if (h.proxy.useProxy) {
        lines << QStringLiteral("Using Proxy:") << QStringLiteral("Proxy Server:") + h.proxy.server
              << QStringLiteral("Proxy Port:") + h.proxy.port
              << QStringLiteral("ProxyUsername:") + h.proxy.username
              << QStringLiteral("ProxyPassword:") + masked(h.proxy.password) << QString();
    }
    lines << QStringLiteral("Left Longitude  input= ") + h.area.left
          << QStringLiteral("Right Longitude input= ") + h.area.right
          << QStringLiteral("Top Latitude    input= ") + h.area.top
          << QStringLiteral("Bottom Latitude input= ") + h.area.bottom << QString()
          << QStringLiteral("MinX = ") + QString::number(h.rect.minX)
          << QStringLiteral("MinY = ") + QString::number(h.rect.minY)
          << QStringLiteral("MaxX = ") + QString::number(h.rect.maxX)
          << QStringLiteral("MaxY = ") + QString::number(h.rect.maxY) << QString()
          << QStringLiteral("Left Longitude  download=") + FloatToStr(h.download.left)
          << QStringLiteral("Right Longitude download=") + FloatToStr(h.download.right)
          << QStringLiteral("Top Latitude    download=") + FloatToStr(h.download.top)
          << QStringLiteral("Bottom Latitude download=") + FloatToStr(h.download.bottom)
          << QString()
          << QStringLiteral("Total count of images would be downloaded: ") +
                 QString::number(h.rect.count())
          << QString()
          << QStringLiteral("Download threads count: ") + QString::number(h.threadCount)
          << QString() << QStringLiteral("Zoom level: ") + QString::number(h.zoom) << QString()
          << QStringLiteral("path: ") + h.saveFolder << QString()
          << QStringLiteral("Start downloading...") << Rule32;
    return lines;
}

QStringList resumedJobLines(const QDateTime& now)
{
    return {Rule44, QStringLiteral("Log continue..."), nowLine(now)};
}

QStringList finishLines(const QDateTime& now, const QString& logPath)
{
    return {QString(),
            Rule32,
            QStringLiteral("Download Finished."),
            QString(),
            nowLine(now),
            QString(),
            QStringLiteral("Log file has been saved to ") + logPath};
}

void JobLog::append(const QString& text)
{
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n')
            continue;
        addLine(text.mid(start, i - start));
        if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    addLine(text.mid(start));
}

void JobLog::append(const QStringList& lines)
{
    for (const QString& line : lines)
        append(line);
}

void JobLog::addLine(const QString& line)
{
    showLine(line);
    // Kept as the bytes the file will get: a third of the memory of the
    // text, and nothing left to convert when a monitor tick saves.
    m_unsaved += line.toUtf8();
    m_unsaved += CrLf;
}

void JobLog::showLine(const QString& line)
{
    m_lastLine = line;
    ++m_lineCount;
    m_newViewLines.append(line);
    trimNewViewLines();
}

void JobLog::trimNewViewLines()
{
    // More new lines than the window keeps: it will have to start afresh
    // with the last of them.
    const qsizetype excess = m_newViewLines.size() - m_viewCap;
    if (excess <= 0)
        return;
    m_newViewLines.remove(0, excess);
    m_viewReset = true;
}

void JobLog::clear()
{
    m_newViewLines.clear();
    m_viewReset = true;
    m_lastLine.clear();
    m_lineCount = 0;
    m_unsaved.clear();
    m_basePath.clear();
    m_baseExact = false;
    m_savedSize = 0;
}

void JobLog::loadForResume(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw AppError::cannotOpenFile(path);

    LineReader reader(file);
    // A log of one endless line must not take endless memory: the window
    // shows the start of such a line, the file keeps it whole.
    reader.setMaxLineLength(ViewLineBytes);
    std::deque<QByteArray> tail;
    qint64 count = 0;
    bool exact = true;
    QByteArray line;
    LineReader::Ending ending;
    while (reader.next(line, &ending)) {
        ++count;
        if (ending != LineReader::Ending::CrLf)
            exact = false;
        tail.push_back(line);
        if (tail.size() > static_cast<size_t>(m_viewCap))
            tail.pop_front();
    }
    if (reader.failed())
        throw AppError::cannotOpenFile(path);

    m_newViewLines.clear();
    for (const QByteArray& bytes : tail)
        m_newViewLines.append(QString::fromUtf8(bytes));
    m_viewReset = true;
    m_lastLine = m_newViewLines.isEmpty() ? QString() : m_newViewLines.last();
    m_lineCount = count;
    m_unsaved.clear();
    m_basePath = path;
    m_baseExact = exact;
    m_savedSize = file.size();
}

void JobLog::save(const QString& path)
{
    if (!m_basePath.isEmpty() && m_baseExact && m_basePath == path)
        appendUnsaved(path);
    else
        writeAll(path);
    m_unsaved.clear();
    m_basePath = path;
    m_baseExact = true;
}

void JobLog::appendUnsaved(const QString& path)
{
    QFile file(path);
    const bool existed = file.exists();
    // Unbuffered: bytes that could not be written must not stay in a buffer,
    // where they would keep the cut-back below from happening and be written
    // after it when the file is closed.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        throw AppError::cannotCreateFile(path);
    const qint64 sizeBefore = file.size();
    QByteArray bytes;
    // Removed or cut by something else since the last save: the earlier lines
    // are not held here, so the file says what happened and goes on.
    const bool lost = !existed || sizeBefore < m_savedSize;
    if (lost)
        bytes = LostLinesLine.toUtf8() + CrLf;
    bytes += m_unsaved;
    if (file.write(bytes) != bytes.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        // Take back a partial write, so that the retry does not double it.
        if (::ftruncate(file.handle(), sizeBefore) != 0)
            file.resize(sizeBefore);
        throw AppError::unableToWrite(path);
    }
    m_savedSize = sizeBefore + bytes.size();
    if (lost)
        showLine(LostLinesLine);
}

void JobLog::writeAll(const QString& path)
{
    FileReplacer out(path);
    if (!out.open())
        throw AppError::cannotCreateFile(path);

    bool lost = false;
    if (!m_basePath.isEmpty()) {
        // The earlier lines are only in that file: copy them across with CR LF
        // line ends. Should it have gone, they are lost already and only the
        // newer lines can be written.
        QFile source(m_basePath);
        if (!source.open(QIODevice::ReadOnly))
            lost = true;
        else if (!copyWithCrLf(source, out))
            throw AppError::unableToWrite(path);
    }
    if ((lost && !out.write(LostLinesLine.toUtf8() + CrLf)) || !out.write(m_unsaved) ||
        !out.commit())
        throw AppError::unableToWrite(path);
    m_savedSize = QFileInfo(path).size();
    if (lost)
        showLine(LostLinesLine);
}

void JobLog::saveWithClosingReport(const QDateTime& now, const QString& path)
{
    QStringList lines = finishLines(now, path);
    const QString claim = lines.takeLast();
    append(lines);
    // The claim reaches the window only once the file holds it: the window
    // must not show a save that did not happen, and a line it has shown is
    // never taken back.
    const qsizetype unsavedBefore = m_unsaved.size();
    m_unsaved += claim.toUtf8();
    m_unsaved += CrLf;
    try {
        save(path);
    } catch (...) {
        m_unsaved.truncate(unsavedBefore);
        addLine(notSavedLine(path));
        throw;
    }
    showLine(claim);
}

QString notSavedLine(const QString& logPath)
{
    return QStringLiteral("Log file could not be saved to ") + logPath;
}

JobLog::ViewUpdate JobLog::takeViewUpdate()
{
    ViewUpdate update;
    update.reset = m_viewReset;
    update.lines.swap(m_newViewLines);
    m_viewReset = false;
    return update;
}

void JobLog::setViewCap(int cap)
{
    m_viewCap = std::max(1, cap);
    trimNewViewLines();
}

} // namespace tavo

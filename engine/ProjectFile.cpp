#include "engine/ProjectFile.h"

#include "engine/AppError.h"
#include "engine/FileReplacer.h"
#include "engine/IniFile.h"
#include "engine/TextConv.h"

#include <QList>
#include <QPair>

namespace tavo {

namespace {

const QString Area = QStringLiteral("AREA");
const QString ZoomSection = QStringLiteral("Zoom");
const QString Threads = QStringLiteral("THREADS");

// Extension as the file-name part shows it: from its last '.' to the end,
// empty when it has none.
QString extensionOf(const QString& name)
{
    const qsizetype slash = name.lastIndexOf(u'/');
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0 || dot < slash)
        return QString();
    return name.mid(dot);
}

// The area texts exactly as they were typed and stored, blanks included.
AreaTexts readArea(const IniFile& ini)
{
    return {ini.readRawString(Area, QStringLiteral("LeftLongitude"), QString()),
            ini.readRawString(Area, QStringLiteral("RightLongitude"), QString()),
            ini.readRawString(Area, QStringLiteral("TopLatitude"), QString()),
            ini.readRawString(Area, QStringLiteral("BottomLatitude"), QString())};
}

QString positionKey(int worker, char axis)
{
    return QStringLiteral("T%1%2").arg(worker).arg(QLatin1Char(axis));
}

} // namespace

QString ensureTrailingSeparator(const QString& folder)
{
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

QString projectNameFor(const QString& typedName)
{
    return extensionOf(typedName) == QStringLiteral(".tavo") ? typedName
                                                             : typedName + QStringLiteral(".tavo");
}

QString projectBaseOf(const QString& projectName)
{
    return projectName.left(projectName.size() - extensionOf(projectName).size());
}

QString folderPartOf(const QString& path)
{
    return path.left(path.lastIndexOf(u'/') + 1);
}

QString fileNamePartOf(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

void WriteNewProject(const QString& projectPath, const AreaTexts& area, int zoom,
                     const TileRect& rect, int threadCount)
{
    QStringList lines{
        QStringLiteral("[AREA]"),
        QStringLiteral("LeftLongitude=") + area.left,
        QStringLiteral("RightLongitude=") + area.right,
        QStringLiteral("TopLatitude=") + area.top,
        QStringLiteral("BottomLatitude=") + area.bottom,
        QString(),
        QStringLiteral("[Zoom]"),
        QStringLiteral("Zoom=") + QString::number(zoom),
        QString(),
        QStringLiteral("[XY]"),
        QStringLiteral("MinX=") + QString::number(rect.minX),
        QStringLiteral("MinY=") + QString::number(rect.minY),
        QStringLiteral("MaxX=") + QString::number(rect.maxX),
        QStringLiteral("MaxY=") + QString::number(rect.maxY),
        QString(),
        QStringLiteral("[THREADS]"),
        QStringLiteral("ThreadCount=") + QString::number(threadCount),
    };
    for (int n = 1; n <= 8; ++n) {
        lines << positionKey(n, 'X') + u'=';
        lines << positionKey(n, 'Y') + u'=';
    }
    lines << QString();

    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toUtf8() + "\r\n";
    if (!FileReplacer::replace(projectPath, bytes))
        throw AppError::cannotCreateFile(projectPath);
}

namespace {

// A missing or empty value gives `defaultValue`; one that is there but no
// integer ("16abc") is refused: the job must not run with another value.
int readStoredInteger(const IniFile& ini, const QString& section, const QString& key,
                      int defaultValue)
{
    const QString text = ini.readString(section, key, QString());
    if (text.isEmpty())
        return defaultValue;
    return StrToInt(text);
}

} // namespace

StoredInputs ReadResumeKeys(const QString& projectPath, int defaultZoom, int defaultThreadCount)
{
    const IniFile ini(projectPath);
    const AreaTexts area = readArea(ini);
    StoredInputs stored;
    stored.left = area.left;
    stored.right = area.right;
    stored.top = area.top;
    stored.bottom = area.bottom;
    stored.zoom = QString::number(readStoredInteger(ini, ZoomSection, ZoomSection, defaultZoom));
    stored.threadCount = QString::number(
        readStoredInteger(ini, Threads, QStringLiteral("ThreadCount"), defaultThreadCount));
    stored.folder = folderPartOf(projectPath);
    stored.fileName = fileNamePartOf(projectPath);
    return stored;
}

bool resumeMatches(const StoredInputs& stored, const EnteredInputs& entered)
{
    return stored.left == entered.left && stored.right == entered.right &&
           stored.top == entered.top && stored.bottom == entered.bottom &&
           stored.zoom == entered.zoom && stored.threadCount == entered.threadCount &&
           stored.folder == entered.folder && stored.fileName == entered.fileName;
}

std::vector<TilePosition> ReadPositions(const QString& projectPath, int threadCount)
{
    const IniFile ini(projectPath);
    std::vector<TilePosition> positions;
    for (int n = 1; n <= threadCount; ++n)
        positions.push_back({ini.readInteger(Threads, positionKey(n, 'X'), 0),
                             ini.readInteger(Threads, positionKey(n, 'Y'), 0)});
    return positions;
}

void SavePositions(const QString& projectPath, const std::vector<TilePosition>& current)
{
    QList<QPair<QString, QString>> changes;
    for (size_t i = 0; i < current.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        // A position is a pair: written whole or not at all, so the file
        // never pairs the column of one tile with the row of another.
        if (current[i].x > 0 && current[i].y > 0) {
            changes.append({positionKey(n, 'X'), QString::number(current[i].x)});
            changes.append({positionKey(n, 'Y'), QString::number(current[i].y)});
        }
    }
    if (changes.isEmpty())
        return;
    IniFile ini(projectPath);
    ini.writeStrings(Threads, changes);
}

OpenedProject readProjectForOpen(const QString& chosenPath, int defaultZoom, int defaultThreadCount)
{
    return ReadResumeKeys(chosenPath, defaultZoom, defaultThreadCount);
}

} // namespace tavo

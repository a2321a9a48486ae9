#include "job/JobPlan.h"

#include "engine/AreaMath.h"
#include "engine/ProxySettings.h"
#include "engine/TextConv.h"
#include "engine/TileMath.h"
#include "job/JobProgress.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace tavo {

namespace {

// A project name names a file in the save folder and, without its extension,
// the image folder beside it: it must not lead anywhere else.
bool leavesTheSaveFolder(const QString& typedName, const QString& projectBase)
{
    return typedName.contains(QLatin1Char('/')) || typedName.contains(QLatin1Char('\\')) ||
           projectBase == QStringLiteral("..");
}

PlanOutcome refused(const QString& message)
{
    return {std::nullopt, message};
}

} // namespace

bool makeFolderIfMissing(const QString& folder)
{
    return QFileInfo(folder).isDir() || QDir().mkdir(folder);
}

namespace {

PlanOutcome planChecked(const JobRequest& request, const JobSettings& settings,
                        const FolderMaker& makeFolder)
{
    JobPlan plan;
    plan.settings = settings;

    // The proxy is checked before anything is written: a port that is no
    // port would end every worker at its start.
    if (settings.proxy.useProxy) {
        QString reason;
        const std::optional<int> port = proxyPortNumber(settings.proxy.port, &reason);
        if (!port)
            return refused(QStringLiteral("The proxy port \"%1\" cannot be used: %2.\n"
                                          "Correct it in Options > Options...")
                               .arg(settings.proxy.port, reason));
        plan.proxyPort = *port;
    }

    // Zoom.
    plan.zoom = StrToInt(request.zoom);
    if (plan.zoom < MinZoom || plan.zoom > MaxZoom)
        return refused(
            QStringLiteral("Zoom level should be between %1 and %2.").arg(MinZoom).arg(MaxZoom));

    // Save folder.
    if (request.saveFolder.isEmpty())
        return refused(QStringLiteral("Please select path to save images."));
    if (!makeFolder(request.saveFolder))
        return refused(QStringLiteral("Create directory ") + request.saveFolder +
                       QStringLiteral(" Failed."));
    plan.saveFolder = ensureTrailingSeparator(request.saveFolder);

    // Coordinates and their checks.
    plan.area = request.area;
    const AreaValues area = ParseArea(plan.area);
    if (const QString failure = areaCheckFailure(area); !failure.isEmpty())
        return refused(failure);

    // Workers. The job has eight worker slots: a larger count (from a
    // hand-edited setting or project file) is lowered to eight.
    plan.threadCount = StrToInt(request.threadCount);
    if (plan.threadCount > MaxWorkers) {
        plan.threadCount = MaxWorkers;
        plan.threadCountLowered = true;
    }

    // Tile rectangle and the extent it covers.
    const int zoom = plan.zoom;
    plan.rect = tileRectFor(area, zoom);
    plan.download.left = double(TileXToLongitude(plan.rect.minX, zoom));
    plan.download.right = double(TileXToLongitude(double(plan.rect.maxX) + 1, zoom));
    plan.download.bottom = double(TileYToLatitude(plan.rect.minY, zoom));
    plan.download.top = double(TileYToLatitude(double(plan.rect.maxY) + 1, zoom));

    // Tile count.
    if (plan.rect.count() > MaxJobTiles)
        return refused(QStringLiteral("This job has %1 tiles; a job can have at most %2 tiles.")
                           .arg(groupedNumber(plan.rect.count()), groupedNumber(MaxJobTiles)));
    if (plan.threadCount > plan.rect.count())
        plan.threadCount = qint32(plan.rect.count());

    // Names.
    plan.projectName = projectNameFor(request.projectName);
    plan.projectBase = projectBaseOf(plan.projectName);
    if (leavesTheSaveFolder(request.projectName, plan.projectBase))
        return refused(
            QStringLiteral("Project name should not contain a path (\"/\", \"\\\" or \"..\")."));
    plan.projectPath = plan.saveFolder + plan.projectName;
    plan.imageFolder = plan.saveFolder + plan.projectBase + QLatin1Char('/');
    return {plan, QString()};
}

} // namespace

PlanOutcome planJob(const JobRequest& request, const JobSettings& settings,
                    const FolderMaker& makeFolder)
{
    try {
        return planChecked(request, settings, makeFolder);
    } catch (const std::exception& error) {
        // A number that is no number ("'abc' is not a valid integer value").
        return refused(QString::fromUtf8(error.what()));
    }
}

EnteredInputs enteredInputs(const JobRequest& request, const JobPlan& plan)
{
    // The name is compared as the project file's name, so "Job" continues "Job.tavo".
    return {request.area.left,  request.area.right,  request.area.top,
            request.area.bottom, request.zoom,       request.threadCount,
            ensureTrailingSeparator(request.saveFolder), plan.projectName};
}

QStringList differences(const StoredInputs& stored, const JobRequest& request)
{
    struct Field
    {
        const char* name;
        QString stored, entered;
    };
    const Field fields[] = {
        {"left longitude", stored.left, request.area.left},
        {"right longitude", stored.right, request.area.right},
        {"top latitude", stored.top, request.area.top},
        {"bottom latitude", stored.bottom, request.area.bottom},
        {"zoom", stored.zoom, request.zoom},
        {"worker count", stored.threadCount, request.threadCount},
    };
    QStringList found;
    for (const Field& field : fields) {
        if (field.stored != field.entered)
            found << QStringLiteral("%1 %2 (now %3)")
                         .arg(QLatin1String(field.name),
                              field.stored.isEmpty() ? QStringLiteral("none") : field.stored,
                              field.entered);
    }
    return found;
}

QString replaceQuestion(const JobPlan& plan, const QStringList& differences)
{
    return QStringLiteral("The project %1 in %2 holds another job: %3.\n\n"
                          "A new job replaces %1 and its log %4, and fetches every tile again "
                          "into %5.\n\nStart a new job?")
        .arg(plan.projectName, plan.saveFolder,
             differences.isEmpty() ? QStringLiteral("its entries differ")
                                   : differences.join(QStringLiteral(", ")),
             logFileNameFor(plan.projectBase), plan.imageFolder);
}

QString costQuestion(const JobPlan& plan, qint64 freeBytes)
{
    const qint64 tiles = plan.rect.count();
    const qint64 bytes = tiles * BytesPerTile;
    const bool knownFree = freeBytes >= 0;
    if (tiles <= plan.settings.confirmTiles && (!knownFree || bytes <= freeBytes))
        return {};
    QString text = QStringLiteral("This job has %1 tiles, about %2 on disk.")
                       .arg(groupedNumber(tiles), diskSizeText(bytes));
    if (knownFree)
        text += QStringLiteral("\nThe disk of %1 has %2 free.")
                    .arg(plan.saveFolder, diskSizeText(freeBytes));
    if (knownFree && bytes > freeBytes)
        text += QStringLiteral("\nThe tiles will not fit.");
    return text + QStringLiteral("\n\nStart the job?");
}

qint64 freeBytesOf(const QString& folder)
{
    const QStorageInfo disk(folder);
    return disk.isValid() && disk.isReady() ? disk.bytesAvailable() : -1;
}

JobStart decideStart(const JobPlan& plan, const JobRequest& request, int defaultZoom,
                     int defaultThreadCount, qint64 freeBytes)
{
    JobStart start;
    if (QFileInfo::exists(plan.projectPath)) {
        const StoredInputs stored = ReadResumeKeys(plan.projectPath, defaultZoom, defaultThreadCount);
        start.resume = resumeMatches(stored, enteredInputs(request, plan));
        if (!start.resume) {
            start.replaces = true;
            start.differences = differences(stored, request);
        }
    }
    if (!start.resume)
        start.costQuestion = costQuestion(plan, freeBytes);
    return start;
}

} // namespace tavo

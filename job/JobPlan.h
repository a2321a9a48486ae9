#pragma once

#include "engine/ProjectFile.h"
#include "engine/TileTypes.h"
#include "files/JobLog.h"
#include "files/Settings.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace tavo {

// The most workers a job can have: worker slots, start positions and the
// position keys of the project file all have this many entries.
inline constexpr int MaxWorkers = 8;

// Worker positions are 32-bit: no job has more tiles than this.
inline constexpr qint64 MaxJobTiles = 2147483647;

// What a job is asked to be, as the user typed it: the main window's fields,
// or the options of the command line.
struct JobRequest
{
    AreaTexts area;      // left, right, top, bottom
    QString zoom;        // decimal
    QString threadCount; // decimal
    QString saveFolder;
    QString projectName; // ".tavo" may be left out
};

// A request checked and worked out: everything the set-up needs to write the
// project and start the workers.
struct JobPlan
{
    JobSettings settings;
    int proxyPort = 0; // when settings.proxy.useProxy
    int zoom = 0;
    QString saveFolder; // ends with '/'
    AreaTexts area;     // as typed
    TileRect rect;
    NewJobHeader::Extent download;
    qint32 threadCount = 0;
    bool threadCountLowered = false; // the request asked for more than MaxWorkers
    QString projectName, projectBase, projectPath, imageFolder;
};

// Either the plan, or the message that refuses the request.
struct PlanOutcome
{
    std::optional<JobPlan> plan;
    QString refusal;
};

// Makes the save folder when it is not there (one level); false when it
// cannot. The only thing planning may write.
using FolderMaker = std::function<bool(const QString& folder)>;
bool makeFolderIfMissing(const QString& folder);

// Checks a request against the settings in the set-up's order and works out
// the plan; the first check that fails gives the refusal with its message:
// the proxy port, the zoom, the save folder (made when missing), the
// coordinates, the number of tiles and the project name.
PlanOutcome planJob(const JobRequest& request, const JobSettings& settings,
                    const FolderMaker& makeFolder = makeFolderIfMissing);

// The request as the resume test compares it with a project file.
EnteredInputs enteredInputs(const JobRequest& request, const JobPlan& plan);

// What differs between an existing project file and the plan, for the
// question before replacing it ("zoom 15 (now 16)"); the worker count is the
// one typed.
QStringList differences(const StoredInputs& stored, const JobRequest& request);

// The question before a new job replaces another job's project file.
QString replaceQuestion(const JobPlan& plan, const QStringList& differences);

// The question before a new job that costs much: more tiles than the
// settings' ConfirmTiles, or more bytes than `freeBytes` (negative: unknown).
// Empty when nothing needs asking.
QString costQuestion(const JobPlan& plan, qint64 freeBytes);

// The bytes free on the disk of `folder`; -1 when unknown.
qint64 freeBytesOf(const QString& folder);

// What a planned job is, given what is at its project path: the project there
// records this very job (continue it), another job (a new job replaces it,
// and `differences` says what differs), or nothing. A new job that costs much
// has its cost question. The defaults are those a project file without the
// keys is read with.
struct JobStart
{
    bool resume = false;
    bool replaces = false;
    QStringList differences;
    QString costQuestion;
};
JobStart decideStart(const JobPlan& plan, const JobRequest& request, int defaultZoom,
                     int defaultThreadCount, qint64 freeBytes);

} // namespace tavo

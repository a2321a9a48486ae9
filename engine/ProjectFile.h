#pragma once

#include "engine/TileTypes.h"

#include <QString>

#include <vector>

namespace tavo {

// The project file (".tavo"): the area as typed, the zoom, the tile range,
// the worker count and each worker's last finished tile, in sections AREA,
// Zoom, XY and THREADS. Paths use '/' as the separator.

// `folder` with a '/' appended unless it already ends in one.
QString ensureTrailingSeparator(const QString& folder);

// The project file's name for a typed name: ".tavo" is appended unless the
// name's extension (from the last '.' of its file-name part to the end) is
// exactly ".tavo", case-sensitively. "Job" -> "Job.tavo", "Job.TAVO" ->
// "Job.TAVO.tavo", "" -> ".tavo".
QString projectNameFor(const QString& typedName);

// `projectName` without its extension ("Job.tavo" -> "Job", ".tavo" -> "").
QString projectBaseOf(const QString& projectName);

// The folder part of a path, ending in '/' (empty when there is no '/'), and
// the file-name part after it.
QString folderPartOf(const QString& path);
QString fileNamePartOf(const QString& path);

// Writes the file of a new job in one piece, replacing any file there: the
// area texts exactly as typed, the zoom, the tile range, the worker count and
// sixteen empty position keys T1X..T8Y. Throws
// AppError::cannotCreateFile(path) when the file cannot be written.
void WriteNewProject(const QString& projectPath, const AreaTexts& area, int zoom,
                     const TileRect& rect, int threadCount);

// A job's entries as the project file and the resume test know them: the
// area texts, the zoom and worker count as decimal texts, the folder (ending
// in '/') and the project file's name.
struct ProjectEntries
{
    QString left, right, top, bottom; // empty when missing
    QString zoom, threadCount;        // the defaults when missing
    QString folder;                   // folder part of the project path, ending in '/'
    QString fileName;                 // file-name part of the project path
};

// What an existing project file holds, as the resume test compares it. A
// zoom or worker count that is there but is no integer ("16abc") throws
// AppError::notAnInteger, as typing it would.
using StoredInputs = ProjectEntries;
StoredInputs ReadResumeKeys(const QString& projectPath, int defaultZoom, int defaultThreadCount);

// What the user entered for a job (the folder with its trailing '/').
using EnteredInputs = ProjectEntries;

// True when all eight texts are equal, exactly and case-sensitively: the job
// recorded in the file is then continued.
bool resumeMatches(const StoredInputs& stored, const EnteredInputs& entered);

// T<n>X and T<n>Y for n = 1..threadCount; a missing, empty or non-integer
// value gives 0.
std::vector<TilePosition> ReadPositions(const QString& projectPath, int threadCount);

// Stores the positions of workers 1..current.size() (worker n at index n-1):
// a worker's pair is written only when both coordinates are greater than 0;
// otherwise its stored pair stays as it was (a tile in column 0 or row 0 is
// then fetched again when the job continues, never skipped). Every other line
// stays as it is. All the changed keys go into one rewrite of the file, so a
// failure writes none of them. Throws AppError::unableToWrite(path).
void SavePositions(const QString& projectPath, const std::vector<TilePosition>& current);

// What "Open project..." puts into the job's entries.
using OpenedProject = ProjectEntries;
OpenedProject readProjectForOpen(const QString& chosenPath, int defaultZoom,
                                 int defaultThreadCount);

} // namespace tavo

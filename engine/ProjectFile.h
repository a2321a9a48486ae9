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

// What an existing project file holds, as the resume test compares it.
struct StoredInputs
{
    QString left, right, top, bottom; // empty when missing
    QString zoom, threadCount;        // decimal texts; the defaults when missing
    QString folder;                   // folder part of the project path, ending in '/'
    QString fileName;                 // file-name part of the project path
};
// A zoom or worker count that is there but is no integer ("16abc") throws
// AppError::notAnInteger, as typing it would.
StoredInputs ReadResumeKeys(const QString& projectPath, int defaultZoom, int defaultThreadCount);

// The main window's fields, as typed (Edit6 with its trailing '/').
struct EnteredInputs
{
    QString edit1, edit3, edit2, edit4, edit5, edit10, edit6, edit11;
};

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

// What "Open project..." puts into the main window's fields.
struct OpenedProject
{
    QString edit1, edit3, edit2, edit4; // the area texts, empty when missing
    QString edit5, edit10;              // zoom and worker count as decimal texts
    QString edit6;                      // folder part of the chosen path, ending in '/'
    QString edit11;                     // file-name part, extension included
};
OpenedProject readProjectForOpen(const QString& chosenPath, int defaultZoom,
                                 int defaultThreadCount);

} // namespace tavo

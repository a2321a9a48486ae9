#pragma once

#include "engine/AreaMath.h"

#include <QString>
#include <QStringList>

#include <cstdio>

namespace tavo {

// The exit codes of the command-line downloader.
enum ExitCode
{
    ExitAllStored = 0,   // every tile of the run is stored
    ExitTilesMissing = 1, // placeholders, tiles not written, a ban or an unreachable server
    ExitRefused = 2,     // the arguments or the job's entries were refused; nothing written
    ExitInterrupted = 3  // SIGINT or SIGTERM stopped the job; it continues later from there
};

// What the command line asks for.
struct JobCommand
{
    QString projectFile; // "tavo-get JOB.tavo"
    QString left, right, top, bottom, zoom, threads, folder, project;
    QString areaFrom;     // a GIS file whose features give the area (--area-from)
    QString buffer;       // metres added around that area (--buffer)
    QString settingsFile; // empty: the program's settings file
    QString paramsUrl;    // empty: the imagery service's parameters file
    bool quiet = false;
    bool help = false;
    bool retryFailed = false;
};

// Reads the arguments (without the program's name); false with `error` set
// when they are not understood.
bool parseJobCommand(const QStringList& arguments, JobCommand& command, QString& error);

// The four field texts of the area of every feature of a GIS file (GeoJSON,
// KML, GPX, Shapefile), grown by `bufferMetres`, snapped to the tiles of the
// job's zoom as the area dialog snaps it; false with `error` set for the user
// when the file cannot be read or holds no feature, or the zoom is no whole
// number from 1 to 30.
bool areaTextsFromFile(const QString& path, double bufferMetres, const QString& zoomText,
                       AreaTexts& texts, QString& error);

// The text of --help.
QString jobCommandHelp();

// Runs the job the command asks for, as the main window's Download would,
// with the program's files under `programFolder`; messages and progress go
// to `err`. Needs a QCoreApplication (its event loop runs the job) and
// libcurl set up. SIGINT and SIGTERM stop the job.
int runJobCommand(const JobCommand& command, const QString& programFolder, std::FILE* err);

} // namespace tavo

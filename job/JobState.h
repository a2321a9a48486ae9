#pragma once

#include "engine/TileTypes.h"
#include "job/JobPlan.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <memory>

namespace tavo {

class TDownThread;

// The main window's record of the current job. Written by the set-up, read by
// the monitor, Stop, "View log now" and the log. It stays as the set-up left
// it after the job ends, until the next set-up.
struct JobState
{
    QString SaveFolder;  // ends with '/'
    QString ProjectName; // with ".tavo"
    QString ProjectBase;
    QString ProjectPath;
    QString LogFileName;
    TileRect Rect; // MinX..MaxX, MinY..MaxY
    qint32 ThreadCount = 0;
    qint32 WorkersStarted = 0;
    qint32 WorkersRunning = 0;
    std::array<std::unique_ptr<TDownThread>, MaxWorkers> WorkerSlots;

    QString logPath() const { return SaveFolder + LogFileName; }
};

} // namespace tavo

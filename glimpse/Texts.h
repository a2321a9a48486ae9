#pragma once

#include "engine/JobFolder.h"
#include "engine/TaskThread.h"
#include "mapview/MapPainting.h"
#include "mapview/MapView.h"

#include <QLocale>
#include <QString>

#include <mutex>
#include <optional>
#include <utility>

namespace tavo::glimpse {

using mapview::GeoArea;
using mapview::GeoPoint;
using mapview::MapView;

// The locale used for counts: the user's, or English grouping when the
// environment names none (the "C" locale groups no digits).
QLocale countLocale();

// "48,211 of 50,000 tiles; 1,640 missing; 149 blank": the good tiles of all,
// then each other state that occurs, in the legend's order.
QString countsText(const JobScan& scan, const QLocale& locale = countLocale());

// What lies under the pointer: degrees, column and row, quadkey, file name
// and the tile's state unless it is good; only the degrees outside the job's
// rectangle.
QString pointText(const MapView& view, const QPointF& screen, const JobScan* scan);

// The visible area as the main window's fields take it: left longitude,
// right longitude, top latitude, bottom latitude, separated by tabs.
QString areaText(const GeoArea& area);

using mapview::lengthText;
using mapview::scaleBarMetres;

// The project that was open last, remembered in an INI file; empty if none.
QString readLastProject(const QString& iniPath);
// Returns false when the file cannot be written (a missing folder...).
bool writeLastProject(const QString& iniPath, const QString& projectPath);

// Writes the last project on a thread of its own: the file is replaced
// safely (written, synced, renamed), which can take a while on a busy disk.
// Writes asked for while one is under way are made after it, the last one
// asked for last; the destructor waits for them.
class LastProjectWriter final
{
public:
    ~LastProjectWriter();
    void write(const QString& iniPath, const QString& projectPath);

private:
    void run();

    std::mutex m_mutex;
    std::optional<std::pair<QString, QString>> m_next; // ini, project
    bool m_busy = false;
    TaskThread m_thread;
};

} // namespace tavo::glimpse

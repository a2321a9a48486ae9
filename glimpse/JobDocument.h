#pragma once

#include "engine/Feedback.h"
#include "engine/JobFolder.h"
#include "engine/TaskThread.h"
#include "glimpse/Coverage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

namespace tavo::glimpse {

// What a finished folder scan found.
struct ScanResult
{
    JobScan scan;
    Coverage coverage;
    bool folderExists = false;
    // False for the first look at the names alone (every file counts as
    // good); its missing and partly written tiles are already final.
    bool complete = true;
    qint64 elapsedMs = 0; // from the start of the scan to this result
};

// The open job: its project, and the state of its tiles read from the image
// folder on a thread of its own, so the window never waits for the disk.
class JobDocument final : public QObject
{
    Q_OBJECT
public:
    // `placeholderPath`: the placeholder image (blankimg/blank.jpg); tiles
    // with the same bytes count as blank. May name no file.
    explicit JobDocument(const QString& placeholderPath, QObject* parent = nullptr);
    ~JobDocument() override;

    // Reads the project file and starts reading its image folder. On failure
    // returns false with a message for the user and keeps the job open before.
    bool open(const QString& projectPath, QString* error);
    // Reads the image folder again.
    void rescan();

    bool isOpen() const { return m_open; }
    const ProjectInfo& info() const { return m_info; }
    // Null until the names of the open job's folder have been read; then
    // the result from the names alone (complete() false) until the folder's
    // files have been read.
    const ScanResult* result() const { return m_result.get(); }
    bool scanning() const { return m_scanning; }
    qint64 scanDone() const { return m_scanDone; }
    qint64 scanTotal() const { return m_scanTotal; }

signals:
    void opened();
    void scanProgress();
    void scanFinished();

private:
    void startScan();
    void stopScan();

    ScanOptions m_scanOptions; // the placeholder's
    bool m_open = false;
    ProjectInfo m_info;
    std::shared_ptr<const ScanResult> m_result;

    quint64 m_generation = 0;
    bool m_scanning = false;
    qint64 m_scanDone = 0;
    qint64 m_scanTotal = 0;
    // The scan, and its cancel: each scan has its own, so a cancelled one
    // never stops the next.
    std::unique_ptr<Feedback> m_feedback;
    TaskThread m_thread;
};

} // namespace tavo::glimpse

#include "glimpse/JobDocument.h"

#include "glimpse/QuickScan.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>

namespace tavo::glimpse {

JobDocument::JobDocument(const QString& placeholderPath, QObject* parent)
    : QObject(parent), m_scanOptions(ScanOptions::withPlaceholder(placeholderPath))
{
}

JobDocument::~JobDocument()
{
    stopScan();
}

bool JobDocument::open(const QString& projectPath, QString* error)
{
    ProjectInfo info;
    QString message;
    if (!readProjectInfo(projectPath, info, &message)) {
        if (error)
            *error = message;
        return false;
    }
    stopScan();
    m_info = info;
    m_open = true;
    m_result.reset();
    emit opened();
    startScan();
    return true;
}

void JobDocument::rescan()
{
    if (!m_open)
        return;
    stopScan();
    startScan();
}

void JobDocument::stopScan()
{
    m_thread.release();
    m_feedback.reset();
    m_scanning = false;
    ++m_generation; // whatever the old thread posted is dropped
}

void JobDocument::startScan()
{
    m_scanning = true;
    m_scanDone = 0;
    m_scanTotal = 0;
    const quint64 generation = m_generation;
    m_feedback = std::make_unique<Feedback>([this, generation](qint64 done, qint64 total) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, done, total] {
                if (generation != m_generation)
                    return;
                m_scanDone = done;
                m_scanTotal = total;
                emit scanProgress();
            },
            Qt::QueuedConnection);
    });
    Feedback* const feedback = m_feedback.get();
    const QString folder = m_info.imageFolder;
    const TileRect rect = m_info.rect;
    ScanOptions options = m_scanOptions;
    options.feedback = feedback;

    m_thread.start([this, feedback, generation, folder, rect, options] {
        QElapsedTimer timer;
        timer.start();
        const bool folderExists = QDir(folder).exists();
        // First the names alone: the holes are on the screen at once, even
        // while the files themselves take long to read.
        if (folderExists) {
            auto names = std::make_shared<ScanResult>();
            names->folderExists = true;
            names->complete = false;
            names->scan = listTileFiles(folder, rect, feedback);
            names->coverage = Coverage::build(names->scan, feedback);
            names->elapsedMs = timer.elapsed();
            if (feedback->isCancelled())
                return;
            QMetaObject::invokeMethod(
                this,
                [this, generation, names] {
                    // A folder read again keeps its last full result meanwhile.
                    if (generation != m_generation || m_result)
                        return;
                    m_result = names;
                    emit scanProgress();
                },
                Qt::QueuedConnection);
        }
        auto result = std::make_shared<ScanResult>();
        result->folderExists = folderExists;
        result->scan = scanJobFolder(folder, rect, options);
        if (feedback->isCancelled())
            return;
        result->coverage = Coverage::build(result->scan, feedback);
        if (feedback->isCancelled())
            return;
        result->elapsedMs = timer.elapsed();
        QMetaObject::invokeMethod(
            this,
            [this, generation, result] {
                if (generation != m_generation)
                    return;
                m_result = result;
                m_scanning = false;
                emit scanFinished();
            },
            Qt::QueuedConnection);
    }, feedback);
}

} // namespace tavo::glimpse

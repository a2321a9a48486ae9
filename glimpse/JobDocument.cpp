#include "glimpse/JobDocument.h"

#include "glimpse/QuickScan.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>

namespace tavo::glimpse {

JobDocument::JobDocument(const QString& placeholderPath, QObject* parent)
    : QObject(parent), m_placeholderPath(placeholderPath)
{
    QFile file(placeholderPath);
    if (!placeholderPath.isEmpty() && file.open(QIODevice::ReadOnly))
        m_placeholder = file.readAll();
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
    if (m_cancel)
        m_cancel->store(true);
    if (m_thread.joinable())
        m_thread.join();
    m_cancel.reset();
    m_scanning = false;
    ++m_generation; // whatever the old thread posted is dropped
}

void JobDocument::startScan()
{
    m_scanning = true;
    m_scanDone = 0;
    m_scanTotal = 0;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    m_cancel = cancel;
    const quint64 generation = m_generation;
    const QString folder = m_info.imageFolder;
    const TileRect rect = m_info.rect;
    const QByteArray placeholder = m_placeholder;
    const QString placeholderPath = m_placeholderPath;

    m_thread = std::thread([this, cancel, generation, folder, rect, placeholder, placeholderPath] {
        QElapsedTimer timer;
        timer.start();
        ScanOptions options;
        options.placeholder = placeholder;
        options.placeholderPath = placeholderPath;
        options.cancel = cancel.get();
        options.progress = [this, generation](qint64 done, qint64 total) {
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
        };
        const bool folderExists = QDir(folder).exists();
        // First the names alone: the holes are on the screen at once, even
        // while the files themselves take long to read.
        if (folderExists) {
            auto names = std::make_shared<ScanResult>();
            names->folderExists = true;
            names->complete = false;
            names->scan = listTileFiles(folder, rect, cancel.get());
            names->coverage = Coverage::build(names->scan, cancel.get());
            names->elapsedMs = timer.elapsed();
            if (cancel->load())
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
        if (cancel->load())
            return;
        result->coverage = Coverage::build(result->scan, cancel.get());
        if (cancel->load())
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
    });
}

} // namespace tavo::glimpse

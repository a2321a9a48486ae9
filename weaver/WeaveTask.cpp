#include "weaver/WeaveTask.h"

#include <QMetaObject>
#include <QPointer>

namespace tavo::weaver {

WeaveTask::WeaveTask(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<WeaveResult>();
}

WeaveTask::~WeaveTask()
{
    if (m_thread) {
        m_cancel = true;
        m_thread->wait();
        delete m_thread;
    }
}

double WeaveTask::secondsLeft(qint64 done, qint64 total, double elapsedSeconds)
{
    if (done <= 0 || total <= 0 || elapsedSeconds <= 0)
        return -1;
    return elapsedSeconds * double(total - done) / double(done);
}

void WeaveTask::start(const WeaveRequest& request)
{
    if (m_thread)
        return;
    m_cancel = false;
    m_clock.start();
    m_thread = QThread::create([this, request] {
        QElapsedTimer sinceReport;
        sinceReport.start();
        const qint64 startedMs = m_clock.elapsed();
        auto progress = [&](qint64 done, qint64 total) {
            if (sinceReport.elapsed() < 100 && done < total)
                return;
            sinceReport.restart();
            const double elapsed = double(m_clock.elapsed() - startedMs) / 1000.0;
            const double left = secondsLeft(done, total, elapsed);
            QMetaObject::invokeMethod(this, [this, done, total, left] {
                emit progressed(done, total, left);
            }, Qt::QueuedConnection);
        };
        const WeaveResult result = weave(request, progress, &m_cancel);
        QMetaObject::invokeMethod(this, [this, result] { onFinished(result); },
                                  Qt::QueuedConnection);
    });
    m_thread->start();
}

void WeaveTask::onFinished(const WeaveResult& result)
{
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
    emit finished(result);
}

} // namespace tavo::weaver

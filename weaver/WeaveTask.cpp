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
    m_thread.release(); // cancels the weave and waits for it
}

double WeaveTask::secondsLeft(qint64 done, qint64 total, double elapsedSeconds)
{
    if (done <= 0 || total <= 0 || elapsedSeconds <= 0)
        return -1;
    return elapsedSeconds * double(total - done) / double(done);
}

void WeaveTask::start(const WeaveRequest& request)
{
    if (m_thread.isStarted())
        return;
    m_clock.start();
    // Called on the weave's thread: at most about ten reports a second, and
    // the first one of the end, are handed to this object's thread.
    QElapsedTimer sinceReport;
    sinceReport.start();
    m_feedback = std::make_unique<Feedback>(
        [this, sinceReport, ended = false](qint64 done, qint64 total) mutable {
            if (sinceReport.elapsed() < 100 && (done < total || ended))
                return;
            sinceReport.restart();
            ended = done >= total;
            const double left = secondsLeft(done, total, double(m_clock.elapsed()) / 1000.0);
            QMetaObject::invokeMethod(this, [this, done, total, left] {
                emit progressed(done, total, left);
            }, Qt::QueuedConnection);
        });
    m_thread.start([this, request, feedback = m_feedback.get()] {
        const WeaveResult result = weave(request, feedback);
        QMetaObject::invokeMethod(this, [this, result] { onFinished(result); },
                                  Qt::QueuedConnection);
    }, m_feedback.get());
}

void WeaveTask::onFinished(const WeaveResult& result)
{
    m_thread.join();
    emit finished(result);
}

} // namespace tavo::weaver

#include "tiles/WorkerHost.h"

#include <QMetaObject>
#include <QString>
#include <QThread>
#include <exception>

namespace tavo {

namespace {

template <typename Call> void runOnContextThread(const QPointer<QObject>& context, const Call& call)
{
    QObject* target = context.data();
    if (!target)
        return;
    if (QThread::currentThread() == target->thread()) {
        call();
        return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        target,
        [&call, &failure] {
            try {
                call();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace

BlockingWorkerHost::BlockingWorkerHost(QObject* context, WorkerHost* inner)
    : m_context(context), m_inner(inner)
{
}

void BlockingWorkerHost::AppendLogLine(const QString& line)
{
    runOnContextThread(m_context, [this, &line] { m_inner->AppendLogLine(line); });
}

void BlockingWorkerHost::WorkerDone(int threadIndex)
{
    runOnContextThread(m_context, [this, threadIndex] { m_inner->WorkerDone(threadIndex); });
}

} // namespace tavo

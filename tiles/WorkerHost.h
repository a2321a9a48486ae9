#pragma once

#include <QObject>
#include <QPointer>

class QString;

namespace tavo {

// Receives a download worker's reports. The calls are made on the WORKER's
// thread; an implementation decides how to reach the main thread.
class WorkerHost
{
public:
    virtual ~WorkerHost() = default;
    // One line for the log window; may contain '\n' (the two-line error texts).
    virtual void AppendLogLine(const QString& line) = 0;
    // The worker's very last act: it has ended and will make no further call.
    virtual void WorkerDone(int threadIndex) = 0;
};

// Forwards each call to `inner` by a blocking queued call into the thread of
// `context` (the main thread): the worker waits until the call has run there.
// A call made on the context's own thread runs directly. A call made after
// `context` has been destroyed is dropped.
//
// Because the worker waits for the context's thread, that thread must keep
// processing events until the worker has called WorkerDone; in particular it
// must not sit in a worker's destructor while the worker still reports.
class BlockingWorkerHost final : public WorkerHost
{
public:
    BlockingWorkerHost(QObject* context, WorkerHost* inner);
    BlockingWorkerHost(const BlockingWorkerHost&) = delete;
    BlockingWorkerHost& operator=(const BlockingWorkerHost&) = delete;

    void AppendLogLine(const QString& line) override;
    void WorkerDone(int threadIndex) override;

private:
    QPointer<QObject> m_context;
    WorkerHost* m_inner = nullptr;
};

} // namespace tavo

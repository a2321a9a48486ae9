#pragma once

#include <QString>

#include <memory>

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

// Forwards each call to `inner` on the thread that created the host (the
// main thread) and makes the worker wait until it has run there. A call made
// on that thread itself runs directly.
//
// Whether `inner` is still there is decided on the main thread, inside the
// call: after close() every waiting call is released without running and
// every later call returns at once. So once the host is closed no worker can
// wait for the main thread, and the main thread may join the workers. The
// host must outlive every worker that holds it (declare it before them, or
// hand it to TDownThread::abandon with a worker that is left running).
class BlockingWorkerHost final : public WorkerHost
{
public:
    explicit BlockingWorkerHost(WorkerHost* inner);
    // Closes the host.
    ~BlockingWorkerHost() override;
    BlockingWorkerHost(const BlockingWorkerHost&) = delete;
    BlockingWorkerHost& operator=(const BlockingWorkerHost&) = delete;

    void AppendLogLine(const QString& line) override;
    void WorkerDone(int threadIndex) override;

    // Main thread only. From now on no call reaches `inner`.
    void close();

    // Reports waiting for the main thread now; any thread.
    int pendingReports() const;

private:
    struct Channel;
    template <typename Call> void forward(const Call& call);

    std::shared_ptr<Channel> m_channel;
};

} // namespace tavo

#pragma once

#include "weaver/Weave.h"

#include "engine/Feedback.h"
#include "engine/TaskThread.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

namespace tavo::weaver {

// Runs one weave on its own thread and reports to the thread that made it:
// progress (at most about ten times a second) and the result at the end.
class WeaveTask final : public QObject
{
    Q_OBJECT

public:
    explicit WeaveTask(QObject* parent = nullptr);
    ~WeaveTask() override; // cancels and waits

    // From start() until the result has been delivered.
    bool isRunning() const { return m_thread.isStarted(); }
    void start(const WeaveRequest& request);
    void cancel()
    {
        if (m_feedback)
            m_feedback->cancel();
    }

    // Seconds left, estimated from the rate so far; negative when unknown.
    static double secondsLeft(qint64 done, qint64 total, double elapsedSeconds);

signals:
    void progressed(qint64 done, qint64 total, double secondsLeft);
    void finished(const tavo::weaver::WeaveResult& result);

private:
    void onFinished(const WeaveResult& result);

    QElapsedTimer m_clock;
    std::unique_ptr<Feedback> m_feedback; // the running weave's
    TaskThread m_thread;                  // released (cancelled, joined) first
};

} // namespace tavo::weaver

Q_DECLARE_METATYPE(tavo::weaver::WeaveResult)

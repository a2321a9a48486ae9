#pragma once

#include "weaver/Weave.h"

#include <QElapsedTimer>
#include <QObject>
#include <QThread>

#include <atomic>
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

    bool isRunning() const { return m_thread != nullptr; }
    void start(const WeaveRequest& request);
    void cancel() { m_cancel = true; }

    // Seconds left, estimated from the rate so far; negative when unknown.
    static double secondsLeft(qint64 done, qint64 total, double elapsedSeconds);

signals:
    void progressed(qint64 done, qint64 total, double secondsLeft);
    void finished(const tavo::weaver::WeaveResult& result);

private:
    void onFinished(const WeaveResult& result);

    std::atomic<bool> m_cancel{false};
    QThread* m_thread = nullptr;
    QElapsedTimer m_clock;
};

} // namespace tavo::weaver

Q_DECLARE_METATYPE(tavo::weaver::WeaveResult)

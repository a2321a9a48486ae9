#pragma once

#include "files/JobLog.h"

#include <QObject>
#include <QTimer>

class QPlainTextEdit;
class QWidget;

namespace tavo {

// The job log and the log window that shows its tail. Lines appended in a
// burst reach the window together a moment later; refresh() shows them at
// once.
class LogView final : public QObject
{
public:
    // `memo` may be null (no window).
    explicit LogView(QPlainTextEdit* memo);

    JobLog& log() { return m_log; }
    const JobLog& log() const { return m_log; }

    void append(const QString& text);
    void append(const QStringList& lines);
    void refresh();
    // Shows lines appended to the log directly a moment later, as append() does.
    void refreshSoon() { scheduleRefresh(); }

    // Shows `text` in a message box over `parent`, the log window brought up
    // to date first.
    void showMessage(QWidget* parent, const QString& text);

private:
    void scheduleRefresh();
    // Removes lines from the top of the window down to the view's cap.
    void dropOldestBlocks();

    QPlainTextEdit* m_memo = nullptr;
    JobLog m_log;
    QTimer m_timer;
};

} // namespace tavo

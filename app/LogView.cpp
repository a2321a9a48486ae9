#include "app/LogView.h"

#include "dialogs/Shell.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace tavo {

LogView::LogView(QPlainTextEdit* memo) : m_memo(memo)
{
    m_log.append(QStringLiteral("[log window]"));
    (void)m_log.takeViewUpdate(); // the window starts with this line already
    m_timer.setSingleShot(true);
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, [this] { refresh(); });
    // Read-only: nothing to undo, and an undo stack would keep every line
    // ever removed from the top.
    if (m_memo)
        m_memo->setUndoRedoEnabled(false);
}

void LogView::append(const QString& text)
{
    m_log.append(text);
    scheduleRefresh();
}

void LogView::append(const QStringList& lines)
{
    m_log.append(lines);
    scheduleRefresh();
}

void LogView::scheduleRefresh()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void LogView::refresh()
{
    m_timer.stop();
    const JobLog::ViewUpdate update = m_log.takeViewUpdate();
    if (!m_memo)
        return;
    if (update.reset) {
        m_memo->setPlainText(update.lines.join(QLatin1Char('\n')));
    } else if (!update.lines.isEmpty()) {
        m_memo->appendPlainText(update.lines.join(QLatin1Char('\n')));
        dropOldestBlocks();
    } else {
        return;
    }
    m_memo->verticalScrollBar()->setValue(m_memo->verticalScrollBar()->maximum());
}

void LogView::dropOldestBlocks()
{
    // The window shows only the tail of the log, so a job of millions of
    // tiles keeps it responsive and its memory flat. (The window's own block
    // cap would do this too, but it walks to the cut block by block and lays
    // out every line it is about to delete: in a long job that was most of the
    // main thread's time. One selection from the top, made by position, lays
    // out nothing.)
    QTextDocument* document = m_memo->document();
    const int excess = document->blockCount() - m_log.viewCap();
    if (excess <= 0)
        return;
    QTextCursor cursor(document);
    cursor.setPosition(document->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void LogView::showMessage(QWidget* parent, const QString& text)
{
    refresh();
    Shell::current().showMessage(parent, text);
}

} // namespace tavo

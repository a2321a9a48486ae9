#include "app/LogView.h"

#include "dialogs/Shell.h"

#include <QPlainTextEdit>
#include <QScrollBar>

namespace tavo {

LogView::LogView(QPlainTextEdit* memo) : m_memo(memo)
{
    m_log.append(QStringLiteral("[log window]"));
    (void)m_log.takeViewUpdate(); // the window starts with this line already
    m_timer.setSingleShot(true);
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, [this] { refresh(); });
    // The window shows only the tail of the log, so a job of millions of
    // tiles keeps it responsive and its memory flat.
    if (m_memo)
        m_memo->setMaximumBlockCount(m_log.viewCap());
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
    if (!m_memo)
        return;
    const JobLog::ViewUpdate update = m_log.takeViewUpdate();
    if (update.reset) {
        m_memo->setPlainText(update.lines.join(QLatin1Char('\n')));
    } else if (!update.lines.isEmpty()) {
        m_memo->appendPlainText(update.lines.join(QLatin1Char('\n')));
    } else {
        return;
    }
    m_memo->verticalScrollBar()->setValue(m_memo->verticalScrollBar()->maximum());
}

void LogView::showMessage(QWidget* parent, const QString& text)
{
    refresh();
    Shell::current().showMessage(parent, text);
}

} // namespace tavo

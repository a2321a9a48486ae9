#include "job/JobProgress.h"

#include "engine/TextConv.h"
#include "engine/TileMath.h"

#include <QLocale>

namespace tavo {

namespace {

} // namespace

QString diskSizeText(qint64 bytes)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    if (bytes >= 1000LL * 1000 * 1000)
        return english.toString(double(bytes) / 1e9, 'f', 1) + QStringLiteral(" GB");
    if (bytes >= 1000LL * 1000)
        return english.toString(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
    return english.toString(qMax<qint64>(1, bytes / 1000)) + QStringLiteral(" KB");
}

QString jobSizeEstimate(const AreaTexts& texts, const QString& zoomText)
{
    int zoom = 0;
    if (!tryStrToInt(zoomText, zoom) || zoom < MinZoom || zoom > MaxZoom)
        return {};
    if (texts.left.isEmpty() || texts.right.isEmpty() || texts.top.isEmpty() ||
        texts.bottom.isEmpty())
        return {};
    const AreaValues area = ParseArea(texts);
    if (!areaCheckFailure(area).isEmpty())
        return {};
    const qint64 tiles = tileRectFor(area, zoom).count();
    return groupedNumber(tiles) +
           (tiles == 1 ? QStringLiteral(" tile") : QStringLiteral(" tiles")) +
           QStringLiteral(", about ") + diskSizeText(tiles * BytesPerTile) + QStringLiteral(" on disk");
}

QString totalsLogLine(const JobTotals& totals)
{
    return QStringLiteral("Tiles stored: %1, placeholders: %2, not written: %3")
        .arg(totals.stored)
        .arg(totals.placeholders)
        .arg(totals.notWritten());
}

QString outcomeText(const JobTotals& totals)
{
    // What a worker met comes before the user's Stop: it tells more.
    if (totals.banned)
        return QStringLiteral("Stopped: banned by the server.");
    if (totals.unreachable)
        return QStringLiteral("Stopped: the server could not be reached.");
    if (totals.writeFailed)
        return QStringLiteral("Stopped: tiles could not be written.");
    if (totals.stoppedByUser)
        return QStringLiteral("Stopped by the user.");
    return {};
}

QString countsText(const JobTotals& totals)
{
    return QStringLiteral("Stored %1, placeholders %2, not written %3.")
        .arg(groupedNumber(totals.stored), groupedNumber(totals.placeholders),
             groupedNumber(totals.notWritten()));
}

QString closingText(const JobTotals& totals)
{
    QString text = QStringLiteral("Download finished!\n");
    if (const QString outcome = outcomeText(totals); !outcome.isEmpty())
        text += outcome + QLatin1Char('\n');
    return text + countsText(totals);
}

QString totalsSummary(const JobTotals& totals)
{
    // The reason first: a narrow status bar shows the start of the text.
    const QString outcome = outcomeText(totals);
    return outcome.isEmpty() ? countsText(totals) : outcome + QLatin1Char(' ') + countsText(totals);
}

void JobProgress::start(qint64 toFetch, qint64 nowMs)
{
    m_toFetch = toFetch;
    m_done = 0;
    m_samples.clear();
    m_samples.push_back({nowMs, 0});
}

void JobProgress::sample(qint64 done, qint64 nowMs)
{
    m_done = done;
    m_samples.push_back({nowMs, done});
    // Keep one sample at or beyond the window's start, so the rate spans it.
    while (m_samples.size() > 2 && nowMs - m_samples[1].ms >= RateWindowMs)
        m_samples.pop_front();
}

double JobProgress::tilesPerSecond() const
{
    if (m_samples.size() < 2)
        return 0;
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    if (last.ms <= first.ms || last.done <= first.done)
        return 0;
    return double(last.done - first.done) * 1000.0 / double(last.ms - first.ms);
}

std::optional<qint64> JobProgress::secondsLeft() const
{
    const double rate = tilesPerSecond();
    if (rate <= 0)
        return std::nullopt;
    const qint64 left = m_toFetch > m_done ? m_toFetch - m_done : 0;
    return qint64(double(left) / rate + 0.5);
}

QString JobProgress::countText() const
{
    return QStringLiteral("%1 of %2 tiles").arg(groupedNumber(m_done), groupedNumber(m_toFetch));
}

QString JobProgress::compactCountText() const
{
    return QStringLiteral("%1 of %2 tiles").arg(compactNumber(m_done), compactNumber(m_toFetch));
}

QString JobProgress::rateText() const
{
    const double rate = tilesPerSecond();
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    QString text = english.toString(rate, 'f', rate < 10 ? 1 : 0) + QStringLiteral(" tiles/s");
    if (const std::optional<qint64> left = secondsLeft())
        text += QStringLiteral(", ") + durationText(*left) + QStringLiteral(" left");
    return text;
}

QString waitingText(qint64 remainingMs)
{
    return QStringLiteral("Waiting for the server: ") + durationText((remainingMs + 999) / 1000);
}

} // namespace tavo

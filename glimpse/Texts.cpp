#include "glimpse/Texts.h"

#include "engine/AppError.h"
#include "engine/IniFile.h"
#include "engine/TileMath.h"
#include "glimpse/Coverage.h"

#include <QFileInfo>

#include <cmath>

namespace tavo::glimpse {

namespace {

const QString IniSection = QStringLiteral("Glimpse");
const QString IniKey = QStringLiteral("LastProject");

QString degrees(double value)
{
    return QString::number(value, 'f', 7);
}

} // namespace

QLocale countLocale()
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    return locale;
}

QString countsText(const JobScan& scan, const QLocale& locale)
{
    QString text =
        QStringLiteral("%1 of %2 tiles")
            .arg(locale.toString(scan.count(TileState::Good)), locale.toString(scan.total()));
    for (TileState state : legendStates()) {
        if (state == TileState::Good || scan.count(state) == 0)
            continue;
        text +=
            QStringLiteral("; %1 %2").arg(locale.toString(scan.count(state)), tileStateName(state));
    }
    return text;
}

QString pointText(const MapView& view, const QPointF& screen, const JobScan* scan)
{
    if (!view.hasGrid())
        return QString();
    const GeoPoint geo = view.geoAt(screen);
    QString text =
        QStringLiteral("lon %1, lat %2")
            .arg(QString::number(geo.longitude, 'f', 6), QString::number(geo.latitude, 'f', 6));
    TilePosition tile;
    if (!view.tileAt(screen, tile))
        return text;
    text += QStringLiteral("; column %1, row %2; quadkey %3; %4")
                .arg(tile.x)
                .arg(tile.y)
                .arg(MakeQuadkey(tile.x, tile.y, view.zoom()), tileFileName(tile.x, tile.y));
    if (scan && scan->state(tile.x, tile.y) != TileState::Good)
        text += QStringLiteral(" (%1)").arg(tileStateName(scan->state(tile.x, tile.y)));
    return text;
}

QString areaText(const GeoArea& area)
{
    return QStringList{degrees(area.left), degrees(area.right), degrees(area.top),
                       degrees(area.bottom)}
        .join(u'\t');
}

QString readLastProject(const QString& iniPath)
{
    if (!QFileInfo(iniPath).isFile())
        return QString();
    return IniFile(iniPath).readString(IniSection, IniKey, QString());
}

bool writeLastProject(const QString& iniPath, const QString& projectPath)
{
    try {
        IniFile ini(iniPath);
        ini.writeString(IniSection, IniKey, projectPath);
        return true;
    } catch (const AppError&) {
        return false;
    }
}

LastProjectWriter::~LastProjectWriter()
{
    m_thread.join();
}

void LastProjectWriter::write(const QString& iniPath, const QString& projectPath)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_next.emplace(iniPath, projectPath);
        if (m_busy)
            return; // the running writer takes it
        m_busy = true;
    }
    m_thread.start([this] { run(); }); // the last writer has ended or is returning
}

void LastProjectWriter::run()
{
    for (;;) {
        std::pair<QString, QString> next;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_next) {
                m_busy = false;
                return;
            }
            next = std::move(*m_next);
            m_next.reset();
        }
        writeLastProject(next.first, next.second);
    }
}

} // namespace tavo::glimpse

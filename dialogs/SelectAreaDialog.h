#pragma once

#include "engine/TileTypes.h"
#include "tiles/MapTileSource.h"

#include <QDialog>

#include <functional>
#include <memory>

class QLabel;
class QSpinBox;

namespace tavo {

class AreaMap;

// Tools > "Select area on map...": the job's area drawn on a map of the
// imagery service's tiles, or read from a GIS file. Accepted, it gives the
// four field texts of the rectangle and the zoom; the caller writes them.
class SelectAreaDialog final : public QDialog
{
    Q_OBJECT
public:
    struct Setup
    {
        AreaTexts area;   // the fields as they are: the map opens on them
        QString zoomText; // Edit5
        MapTileSource::Config source;
        // The status bar's estimate of a job ("2,408 tiles, about 36.1 MB on disk").
        std::function<QString(const AreaTexts&, const QString&)> estimate;
    };

    explicit SelectAreaDialog(const Setup& setup, QWidget* parent = nullptr);
    ~SelectAreaDialog() override;

    // The rectangle's texts for Edit1, Edit3, Edit2 and Edit4 (six decimals,
    // a point), and the zoom for Edit5.
    AreaTexts areaTexts() const;
    int zoom() const;

    AreaMap* map() const { return m_map; }
    QString infoText() const;
    QString statusText() const;

    // "Area from file...": the box of every feature of `path`, grown by
    // `bufferMetres`, becomes the rectangle. False (a message shown, nothing
    // changed) when the file cannot be read or holds no feature.
    bool takeAreaFromFile(const QString& path, double bufferMetres);

private:
    void chooseAreaFile();
    void updateInfo();

    std::unique_ptr<MapTileSource> m_source; // outlives the map
    AreaMap* m_map = nullptr;
    QSpinBox* m_zoom = nullptr;
    QSpinBox* m_buffer = nullptr;
    QLabel* m_info = nullptr;
    QLabel* m_status = nullptr;
    class QPushButton* m_ok = nullptr;
    std::function<QString(const AreaTexts&, const QString&)> m_estimate;
};

} // namespace tavo

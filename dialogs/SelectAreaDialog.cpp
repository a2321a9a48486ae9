#include "dialogs/SelectAreaDialog.h"

#include "dialogs/AreaMap.h"
#include "dialogs/Shell.h"
#include "engine/AreaMath.h"
#include "engine/AreaSelection.h"
#include "engine/TextConv.h"
#include "geo/AreaFromFile.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tavo {

SelectAreaDialog::SelectAreaDialog(const Setup& setup, QWidget* parent)
    : QDialog(parent), m_source(std::make_unique<MapTileSource>(setup.source)),
      m_estimate(setup.estimate)
{
    setObjectName(QStringLiteral("SelectArea"));
    setWindowTitle(QStringLiteral("Select area"));

    m_zoom = new QSpinBox(this);
    m_zoom->setObjectName(QStringLiteral("zoom"));
    m_zoom->setRange(1, AreaMap::GridZoom);
    m_buffer = new QSpinBox(this);
    m_buffer->setObjectName(QStringLiteral("buffer"));
    m_buffer->setRange(0, 100000);
    m_buffer->setSingleStep(100);
    m_buffer->setSuffix(QStringLiteral(" m"));
    auto* fromFile = new QPushButton(QStringLiteral("Area from file..."), this);
    fromFile->setObjectName(QStringLiteral("areaFromFile"));
    fromFile->setAutoDefault(false);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Zoom level:"), this));
    top->addWidget(m_zoom);
    top->addStretch(1);
    top->addWidget(new QLabel(QStringLiteral("Buffer:"), this));
    top->addWidget(m_buffer);
    top->addWidget(fromFile);

    m_map = new AreaMap(*m_source, this);
    m_info = new QLabel(this);
    m_info->setObjectName(QStringLiteral("info"));
    m_info->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setText(QStringLiteral(
        "Left-drag: draw, move or resize the area. Right-drag or arrows: pan. Wheel: zoom."));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_map, 1);
    layout->addWidget(m_info);
    layout->addWidget(m_status);
    layout->addWidget(buttons);

    // The fields' area and zoom, when they make one; else the whole world.
    int zoom = 0;
    if (!tryStrToInt(setup.zoomText, zoom) || zoom < 1)
        zoom = 12;
    m_zoom->setValue(std::min(zoom, int(AreaMap::GridZoom)));
    m_map->setJobZoom(m_zoom->value());
    const AreaValues fields = ParseArea(setup.area);
    if (areaCheckFailure(fields).isEmpty()) {
        const TileRect rect = snapToTiles(fields, m_map->jobZoom());
        m_map->setSelection(rect);
        m_map->showTiles(rect);
    } else {
        m_map->showWorld();
    }

    connect(m_zoom, qOverload<int>(&QSpinBox::valueChanged), m_map, &AreaMap::setJobZoom);
    connect(m_map, &AreaMap::selectionChanged, this, &SelectAreaDialog::updateInfo);
    connect(fromFile, &QPushButton::clicked, this, &SelectAreaDialog::chooseAreaFile);
    connect(m_source.get(), &MapTileSource::tileFailed, this,
            [this](const QString& quadkey, const QString& reason) {
                m_status->setText(
                    QStringLiteral("Map tile %1 could not be fetched: %2").arg(quadkey, reason));
            });
    updateInfo();
    resize(900, 700);
    m_map->setFocus();
}

SelectAreaDialog::~SelectAreaDialog()
{
    delete m_map; // before the source it draws from
}

AreaTexts SelectAreaDialog::areaTexts() const
{
    return areaTextsFor(m_map->selection(), m_map->jobZoom());
}

int SelectAreaDialog::zoom() const
{
    return m_map->jobZoom();
}

QString SelectAreaDialog::infoText() const
{
    return m_info->text();
}

QString SelectAreaDialog::statusText() const
{
    return m_status->text();
}

void SelectAreaDialog::updateInfo()
{
    const bool chosen = !m_map->selection().isEmpty();
    m_ok->setEnabled(chosen);
    if (!chosen) {
        m_info->setText(QStringLiteral("No area yet: drag over the map with the left button."));
        return;
    }
    const AreaTexts texts = areaTexts();
    QString text = QStringLiteral("Left %1, right %2, top %3, bottom %4")
                       .arg(texts.left, texts.right, texts.top, texts.bottom);
    const QString zoomText = QString::number(zoom());
    if (m_estimate) {
        const QString estimate = m_estimate(texts, zoomText);
        if (!estimate.isEmpty())
            text += QStringLiteral(" \u2014 ") + estimate;
    }
    m_info->setText(text);
}

bool SelectAreaDialog::takeAreaFromFile(const QString& path, double bufferMetres)
{
    QString error;
    const std::optional<AreaValues> area = geo::readAreaFromFile(path, bufferMetres, &error);
    if (!area) {
        m_status->setText(error);
        Shell::current().showMessage(this, error);
        return false;
    }
    const TileRect rect = snapToTiles(*area, m_map->jobZoom());
    m_map->setSelection(rect);
    m_map->showTiles(rect);
    m_status->setText(QStringLiteral("The area of %1.").arg(QFileInfo(path).fileName()));
    return true;
}

void SelectAreaDialog::chooseAreaFile()
{
    const QString path = Shell::current().openFileName(
        this, QStringLiteral("Area from file"), QString(),
        QStringLiteral("Places (*.geojson *.json *.kml *.gpx *.shp);;All files (*)"));
    if (!path.isEmpty())
        takeAreaFromFile(path, m_buffer->value());
}

} // namespace tavo

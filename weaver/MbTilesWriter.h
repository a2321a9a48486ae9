#pragma once

#include "weaver/Weave.h"

#include <QString>

namespace tavo::weaver {

struct MbTilesMetadata
{
    QString name;
    int zoom = 0;
    MercatorBounds bounds; // degrees: west, south, east, north
};

// Writes an MBTiles file (SQLite): every Good tile's bytes unchanged, rows
// counted from the south as the format wants (the same rows as the tile
// file names), and the metadata a map program needs to place the layer.
class MbTilesWriter final
{
public:
    explicit MbTilesWriter(const QString& path) : m_path(path) {}

    bool write(const QString& imageFolder, const JobScan& scan, const MbTilesMetadata& metadata,
               const ProgressFunction& progress, const std::atomic<bool>* cancel,
               WeaveResult& result);

private:
    QString m_path;
};

} // namespace tavo::weaver

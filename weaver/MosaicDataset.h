#pragma once

#include "engine/JobFolder.h"
#include "engine/TileTypes.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <QString>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tavo::weaver {

// A read-only GDAL raster that shows a rectangle of tile files as one image,
// north up, in EPSG:3857. Each block is one tile, decoded only when GDAL asks
// for it (at 1/scale of its size, using the decoder's own downscaling), so
// the mosaic is never held in memory. Tiles the scan did not find Good read
// as transparent (0 in every band, alpha 0); so do tiles that fail to decode,
// which are recorded.
class MosaicDataset final : public GDALDataset
{
public:
    // bandCount: 3 (RGB) or 4 (RGB + alpha).
    MosaicDataset(const QString& imageFolder, int zoom, const JobScan& scan, int scaleDivisor,
                  int bandCount);
    ~MosaicDataset() override;

    CPLErr GetGeoTransform(double* transform) override;
    const OGRSpatialReference* GetSpatialRef() const override { return &m_srs; }

    int tilePixels() const { return m_tilePixels; }
    // Tiles decoded so far, and those that failed to decode.
    qint64 decodedCount() const { return m_decoded; }
    const std::vector<TilePosition>& undecodable() const { return m_undecodable; }

    // Reads block (bx, by) of every band into `planes` (bandCount planes of
    // tilePixels^2 bytes); transparent when the tile is not there or cannot
    // be decoded. Safe to call from several threads at once.
    void readTile(int bx, int by, unsigned char* planes);

    // Decodes the blocks of a pixel window that are not cached yet, on
    // several threads, and hands them to GDAL's block cache.
    void prefetch(int xOff, int yOff, int xSize, int ySize);

protected:
    CPLErr IRasterIO(GDALRWFlag flag, int xOff, int yOff, int xSize, int ySize, void* data,
                     int bufXSize, int bufYSize, GDALDataType type, int bandCount, int* bandMap,
                     GSpacing pixelSpace, GSpacing lineSpace, GSpacing bandSpace,
                     GDALRasterIOExtraArg* extra) override;

private:
    friend class MosaicBand;

    void storeBlock(int bx, int by, const unsigned char* planes, int exceptBand);

    std::string m_folder;
    int m_zoom;
    const JobScan& m_scan;
    int m_tilePixels;
    OGRSpatialReference m_srs;
    unsigned m_threads;
    std::atomic<qint64> m_decoded{0};
    std::mutex m_mutex; // guards m_undecodable
    std::vector<TilePosition> m_undecodable;
    std::vector<unsigned char> m_buffer;
};

} // namespace tavo::weaver

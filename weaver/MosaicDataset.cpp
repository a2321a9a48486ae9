#include "weaver/MosaicDataset.h"

#include "weaver/Weave.h"

#include <cpl_error.h>

#include <cstring>

namespace tavo::weaver {

class MosaicBand final : public GDALRasterBand
{
public:
    MosaicBand(MosaicDataset* dataset, int band)
    {
        poDS = dataset;
        nBand = band;
        eDataType = GDT_Byte;
        nBlockXSize = dataset->tilePixels();
        nBlockYSize = dataset->tilePixels();
        nRasterXSize = dataset->GetRasterXSize();
        nRasterYSize = dataset->GetRasterYSize();
    }

    GDALColorInterp GetColorInterpretation() override
    {
        static const GDALColorInterp kinds[] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand,
                                                GCI_AlphaBand};
        return kinds[nBand - 1];
    }

protected:
    CPLErr IReadBlock(int bx, int by, void* data) override
    {
        auto* mosaic = static_cast<MosaicDataset*>(poDS);
        const int bands = mosaic->GetRasterCount();
        const std::size_t plane = std::size_t(nBlockXSize) * std::size_t(nBlockYSize);
        mosaic->m_buffer.resize(plane * std::size_t(bands));
        mosaic->readTile(bx, by, mosaic->m_buffer.data());
        // One decode serves every band: hand the other bands their block now.
        for (int b = 1; b <= bands; ++b) {
            const unsigned char* source = mosaic->m_buffer.data() + plane * std::size_t(b - 1);
            if (b == nBand) {
                std::memcpy(data, source, plane);
                continue;
            }
            GDALRasterBand* other = mosaic->GetRasterBand(b);
            if (GDALRasterBlock* cached = other->TryGetLockedBlockRef(bx, by)) {
                cached->DropLock();
                continue;
            }
            GDALRasterBlock* block = other->GetLockedBlockRef(bx, by, TRUE);
            if (!block)
                continue;
            std::memcpy(block->GetDataRef(), source, plane);
            block->DropLock();
        }
        return CE_None;
    }
};

MosaicDataset::MosaicDataset(const QString& imageFolder, int zoom, const JobScan& scan,
                             int scaleDivisor, int bandCount)
    : m_folder(imageFolder.toStdString()), m_zoom(zoom), m_scan(scan),
      m_tilePixels(256 / scaleDivisor)
{
    nRasterXSize = int(scan.rect().width() * m_tilePixels);
    nRasterYSize = int(scan.rect().height() * m_tilePixels);
    eAccess = GA_ReadOnly;
    m_srs.importFromEPSG(3857);
    m_srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    for (int b = 1; b <= bandCount; ++b)
        SetBand(b, new MosaicBand(this, b));
}

MosaicDataset::~MosaicDataset() = default;

CPLErr MosaicDataset::GetGeoTransform(double* transform)
{
    const MercatorBounds bounds = mercatorBounds(m_scan.rect(), m_zoom);
    transform[0] = bounds.west;
    transform[1] = (bounds.east - bounds.west) / nRasterXSize;
    transform[2] = 0;
    transform[3] = bounds.north;
    transform[4] = 0;
    transform[5] = -(bounds.north - bounds.south) / nRasterYSize;
    return CE_None;
}

void MosaicDataset::readTile(int bx, int by, unsigned char* planes)
{
    const int bands = GetRasterCount();
    const std::size_t plane = std::size_t(m_tilePixels) * std::size_t(m_tilePixels);
    std::memset(planes, 0, plane * std::size_t(bands));

    const TileRect& rect = m_scan.rect();
    const qint32 x = rect.minX + bx;
    const qint32 y = rect.maxY - by; // the image's top block row is the northernmost tile row
    if (m_scan.state(x, y) != TileState::Good)
        return;

    const std::string path =
        m_folder + std::to_string(x) + '_' + std::to_string(y) + ".jpg";
    static const char* const jpegOnly[] = {"JPEG", nullptr};
    bool ok = false;
    // A damaged tile is the tile's problem, not the run's: keep its messages
    // away from the error count of the output.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    if (GDALDatasetH tile = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, jpegOnly,
                                       nullptr, nullptr)) {
        auto* ds = GDALDataset::FromHandle(tile);
        const int tileBands = ds->GetRasterCount();
        if (tileBands == 1 || tileBands == 3) {
            int bandMap[3] = {1, 2, 3};
            if (tileBands == 1)
                bandMap[1] = bandMap[2] = 1;
            GDALRasterIOExtraArg extra;
            INIT_RASTERIO_EXTRA_ARG(extra);
            extra.eResampleAlg = GRIORA_Average;
            ok = ds->RasterIO(GF_Read, 0, 0, ds->GetRasterXSize(), ds->GetRasterYSize(), planes,
                              m_tilePixels, m_tilePixels, GDT_Byte, 3, bandMap, 1, m_tilePixels,
                              GSpacing(plane), &extra) == CE_None;
        }
        GDALClose(tile);
    }
    CPLPopErrorHandler();
    CPLErrorReset();
    if (ok) {
        ++m_decoded;
        if (bands == 4)
            std::memset(planes + 3 * plane, 255, plane);
    } else {
        std::memset(planes, 0, plane * std::size_t(bands));
        m_undecodable.push_back({x, y});
    }
}

} // namespace tavo::weaver

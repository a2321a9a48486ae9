#include "weaver/MosaicDataset.h"

#include "weaver/Pyramid.h"

#include "weaver/Weave.h"

#include "engine/TaskThread.h"

#include <cpl_error.h>

#include <algorithm>
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
        const std::size_t plane = std::size_t(nBlockXSize) * std::size_t(nBlockYSize);
        mosaic->m_buffer.resize(plane * std::size_t(mosaic->GetRasterCount()));
        mosaic->readTile(bx, by, mosaic->m_buffer.data());
        std::memcpy(data, mosaic->m_buffer.data() + plane * std::size_t(nBand - 1), plane);
        // One decode serves every band: hand the other bands their block now.
        mosaic->storeBlock(bx, by, mosaic->m_buffer.data(), nBand);
        return CE_None;
    }

    CPLErr IRasterIO(GDALRWFlag flag, int xOff, int yOff, int xSize, int ySize, void* data,
                     int bufXSize, int bufYSize, GDALDataType type, GSpacing pixelSpace,
                     GSpacing lineSpace, GDALRasterIOExtraArg* extra) override
    {
        if (flag == GF_Read)
            static_cast<MosaicDataset*>(poDS)->prefetch(xOff, yOff, xSize, ySize);
        return GDALRasterBand::IRasterIO(flag, xOff, yOff, xSize, ySize, data, bufXSize, bufYSize,
                                         type, pixelSpace, lineSpace, extra);
    }
};

MosaicDataset::MosaicDataset(const QString& imageFolder, int zoom, const JobScan& scan,
                             int scaleDivisor, int bandCount)
    : m_folder(imageFolder.toStdString()), m_zoom(zoom), m_scan(scan),
      m_tilePixels(256 / scaleDivisor), m_threads(unsigned(coreCount()))
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

void MosaicDataset::storeBlock(int bx, int by, const unsigned char* planes, int exceptBand)
{
    const std::size_t plane = std::size_t(m_tilePixels) * std::size_t(m_tilePixels);
    for (int b = 1; b <= GetRasterCount(); ++b) {
        if (b == exceptBand)
            continue;
        GDALRasterBand* band = GetRasterBand(b);
        if (GDALRasterBlock* cached = band->TryGetLockedBlockRef(bx, by)) {
            cached->DropLock();
            continue;
        }
        GDALRasterBlock* block = band->GetLockedBlockRef(bx, by, TRUE);
        if (!block)
            continue;
        std::memcpy(block->GetDataRef(), planes + plane * std::size_t(b - 1), plane);
        block->DropLock();
    }
}

void MosaicDataset::prefetch(int xOff, int yOff, int xSize, int ySize)
{
    if (m_threads < 2 || xSize <= 0 || ySize <= 0)
        return;
    const int firstX = xOff / m_tilePixels, lastX = (xOff + xSize - 1) / m_tilePixels;
    const int firstY = yOff / m_tilePixels, lastY = (yOff + ySize - 1) / m_tilePixels;
    GDALRasterBand* first = GetRasterBand(1);
    std::vector<std::pair<int, int>> wanted;
    for (int by = firstY; by <= lastY; ++by)
        for (int bx = firstX; bx <= lastX; ++bx) {
            if (GDALRasterBlock* cached = first->TryGetLockedBlockRef(bx, by)) {
                cached->DropLock();
                continue;
            }
            wanted.emplace_back(bx, by);
        }
    if (wanted.size() < 2)
        return;

    // In batches, so that the decoded tiles waiting for the cache stay few.
    const std::size_t plane = std::size_t(m_tilePixels) * std::size_t(m_tilePixels);
    const std::size_t tileBytes = plane * std::size_t(GetRasterCount());
    const std::size_t batch = std::size_t(m_threads) * 8;
    std::vector<unsigned char> buffers(batch * tileBytes);
    for (std::size_t start = 0; start < wanted.size(); start += batch) {
        const std::size_t count = std::min(batch, wanted.size() - start);
        std::atomic<std::size_t> next{0};
        runInParallel(int(std::min<std::size_t>(m_threads, count)), [&](int) {
            for (std::size_t i; (i = next++) < count;)
                readTile(wanted[start + i].first, wanted[start + i].second,
                         buffers.data() + i * tileBytes);
        });
        for (std::size_t i = 0; i < count; ++i)
            storeBlock(wanted[start + i].first, wanted[start + i].second,
                       buffers.data() + i * tileBytes, 0);
    }
}

CPLErr MosaicDataset::IRasterIO(GDALRWFlag flag, int xOff, int yOff, int xSize, int ySize,
                                void* data, int bufXSize, int bufYSize, GDALDataType type,
                                int bandCount, int* bandMap, GSpacing pixelSpace,
                                GSpacing lineSpace, GSpacing bandSpace,
                                GDALRasterIOExtraArg* extra)
{
    if (flag == GF_Read)
        prefetch(xOff, yOff, xSize, ySize);
    return GDALDataset::IRasterIO(flag, xOff, yOff, xSize, ySize, data, bufXSize, bufYSize, type,
                                  bandCount, bandMap, pixelSpace, lineSpace, bandSpace, extra);
}

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

    // Read here, as a regular file only: GDAL would block for ever opening
    // a FIFO named like a tile. It decodes the bytes from memory.
    QByteArray bytes;
    const bool read = readTileFile(QString::fromStdString(m_folder) + tileFileName(x, y), bytes,
                                   nullptr);
    static std::atomic<quint64> serial{0};
    const std::string path = "/vsimem/weaver_tile_" + std::to_string(++serial) + ".jpg";
    VSILFILE* memory =
        read ? VSIFileFromMemBuffer(path.c_str(), reinterpret_cast<GByte*>(bytes.data()),
                                    vsi_l_offset(bytes.size()), FALSE)
             : nullptr;
    if (memory)
        VSIFCloseL(memory);
    static const char* const jpegOnly[] = {"JPEG", nullptr};
    bool ok = false;
    // A damaged tile is the tile's problem, not the run's: keep its messages
    // away from the error count of the output.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    if (GDALDatasetH tile = memory ? GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY,
                                                jpegOnly, nullptr, nullptr)
                                   : nullptr) {
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
    if (memory)
        VSIUnlink(path.c_str());
    CPLPopErrorHandler();
    CPLErrorReset();
    if (ok) {
        ++m_decoded;
        if (bands == 4)
            std::memset(planes + 3 * plane, 255, plane);
    } else {
        std::memset(planes, 0, plane * std::size_t(bands));
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_undecodable.push_back({x, y});
    }
}

} // namespace tavo::weaver

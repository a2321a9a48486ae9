#pragma once

#include "weaver/Weave.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <vector>

#include <unistd.h>

namespace tavo::weaver::testing {

struct Rgb
{
    int r, g, b;
};

// A 256 x 256 JPEG of one colour, made with GDAL.
inline QByteArray solidJpeg(Rgb colour)
{
    GDALAllRegister();
    GDALDriver* mem = GetGDALDriverManager()->GetDriverByName("MEM");
    GDALDataset* ds = mem->Create("", 256, 256, 3, GDT_Byte, nullptr);
    const int values[3] = {colour.r, colour.g, colour.b};
    for (int b = 0; b < 3; ++b)
        ds->GetRasterBand(b + 1)->Fill(values[b]);
    const CPLString name = CPLSPrintf("/vsimem/tile_%p.jpg", static_cast<void*>(ds));
    CPLStringList options;
    options.SetNameValue("QUALITY", "95");
    GDALDataset* jpeg = GetGDALDriverManager()->GetDriverByName("JPEG")->CreateCopy(
        name, ds, FALSE, options.List(), nullptr, nullptr);
    GDALClose(jpeg);
    GDALClose(ds);
    vsi_l_offset size = 0;
    GByte* bytes = VSIGetMemFileBuffer(name, &size, FALSE);
    QByteArray result(reinterpret_cast<const char*>(bytes), qsizetype(size));
    VSIUnlink(name);
    return result;
}

// The kinds of JPEG a downloaded tile may be.
enum class JpegKind
{
    Baseline420,
    Baseline444,
    Progressive,
    Gray,
};

// Tile picture number k: smooth ramps, different for every k, so a tile in
// the wrong place or the wrong quadrant shows.
inline Rgb pictureAt(int k, int column, int row)
{
    return {column / 2 + (k * 13) % 128, row / 2 + (k * 29) % 128, (k * 47) % 256};
}

inline std::vector<unsigned char> picturePixels(int k)
{
    std::vector<unsigned char> rgb(256 * 256 * 3);
    for (int j = 0; j < 256; ++j)
        for (int i = 0; i < 256; ++i) {
            const Rgb c = pictureAt(k, i, j);
            unsigned char* p = &rgb[std::size_t(j * 256 + i) * 3];
            p[0] = static_cast<unsigned char>(c.r);
            p[1] = static_cast<unsigned char>(c.g);
            p[2] = static_cast<unsigned char>(c.b);
        }
    return rgb;
}

// Picture k as a 256 x 256 JPEG of the given kind.
inline QByteArray pictureJpeg(int k, JpegKind kind = JpegKind::Baseline420, int quality = 92)
{
    std::vector<unsigned char> rgb = picturePixels(k);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int samp = kind == JpegKind::Baseline444 ? TJSAMP_444
                     : kind == JpegKind::Gray      ? TJSAMP_GRAY
                                                   : TJSAMP_420;
    const int flags = kind == JpegKind::Progressive ? TJFLAG_PROGRESSIVE : 0;
    EXPECT_EQ(tjCompress2(handle, rgb.data(), 256, 0, 256, TJPF_RGB, &out, &size, samp, quality,
                          flags),
              0);
    QByteArray bytes(reinterpret_cast<const char*>(out), qsizetype(size));
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

// Decodes a JPEG to RGB at full size (empty when it does not decode).
inline std::vector<unsigned char> decodeRgb(const QByteArray& jpeg, int& width, int& height)
{
    tjhandle handle = tjInitDecompress();
    int samp = 0, colorspace = 0;
    std::vector<unsigned char> rgb;
    const auto* data = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (tjDecompressHeader3(handle, data, static_cast<unsigned long>(jpeg.size()), &width, &height,
                            &samp, &colorspace) == 0) {
        rgb.resize(std::size_t(width) * std::size_t(height) * 3);
        if (tjDecompress2(handle, data, static_cast<unsigned long>(jpeg.size()), rgb.data(), width,
                          0, height, TJPF_RGB, 0) != 0)
            rgb.clear();
    }
    tjDestroy(handle);
    return rgb;
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readFileBytes(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

// The placeholder the build copies beside the programs.
inline QString placeholderPath()
{
    return QStringLiteral(TAVO_RUNTIME_DIR "/blankimg/blank.jpg");
}

// A job on disk: "<root>/Job.tavo" and its tiles in "<root>/Job/".
// Each good tile has its own colour, derived from its column and row.
class JobFixture
{
public:
    static constexpr int Zoom = 10;

    JobFixture(const TileRect& rect) : m_rect(rect)
    {
        EXPECT_TRUE(m_dir.isValid());
        EXPECT_TRUE(QDir().mkpath(imageFolder()));
        writeFile(projectPath(),
                  QStringLiteral("[AREA]\r\nLeftLongitude=1\r\nRightLongitude=2\r\nTopLatitude=2\r\n"
                                 "BottomLatitude=1\r\n[Zoom]\r\nZoom=%1\r\n[XY]\r\nMinX=%2\r\n"
                                 "MaxX=%3\r\nMinY=%4\r\nMaxY=%5\r\n[THREADS]\r\nThreadCount=1\r\n")
                      .arg(Zoom)
                      .arg(rect.minX)
                      .arg(rect.maxX)
                      .arg(rect.minY)
                      .arg(rect.maxY)
                      .toLatin1());
    }

    static Rgb colourOf(qint32 x, qint32 y) { return {40 + 50 * (x % 4), 30 + 60 * (y % 3), 200}; }

    // Every tile of the rectangle, each its own colour (few distinct tiles).
    void writeColouredTiles()
    {
        for (qint32 x = m_rect.minX; x <= m_rect.maxX; ++x)
            for (qint32 y = m_rect.minY; y <= m_rect.maxY; ++y)
                writeFile(tilePath(x, y), solidJpeg(colourOf(x, y)));
    }

    // Every tile the same file (hard links): a big job in no time.
    void linkOneTile()
    {
        const QString first = tilePath(m_rect.minX, m_rect.minY);
        writeFile(first, solidJpeg({90, 120, 150}));
        for (qint32 x = m_rect.minX; x <= m_rect.maxX; ++x)
            for (qint32 y = m_rect.minY; y <= m_rect.maxY; ++y)
                if (x != m_rect.minX || y != m_rect.minY) {
                    ASSERT_EQ(::link(QFile::encodeName(first).constData(),
                                     QFile::encodeName(tilePath(x, y)).constData()),
                              0);
                }
    }

    QString root() const { return m_dir.path(); }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString projectPath() const { return path(QStringLiteral("Job.tavo")); }
    QString imageFolder() const { return path(QStringLiteral("Job/")); }
    QString tilePath(qint32 x, qint32 y) const { return imageFolder() + tileFileName(x, y); }
    const TileRect& rect() const { return m_rect; }

    WeaveRequest request(const QString& outName, OutputFormat format) const
    {
        WeaveRequest request;
        QString error;
        EXPECT_TRUE(inputFromProject(projectPath(), request.input, &error))
            << error.toStdString();
        request.outPath = path(outName);
        request.format = format;
        request.placeholderPath = placeholderPath();
        return request;
    }

    // Names in the job's folder other than the project and its tiles.
    QStringList otherFiles() const
    {
        QStringList names = QDir(root()).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("Job.tavo"));
        return names;
    }

private:
    QTemporaryDir m_dir;
    TileRect m_rect;
};

} // namespace tavo::weaver::testing

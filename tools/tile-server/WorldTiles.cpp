#include "WorldTiles.h"

#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace tavo::tileserver {

namespace {

constexpr int kTile = 256;
constexpr double kPi = 3.14159265358979323846;

struct JpegError
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jumpOut(j_common_ptr info)
{
    auto* error = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->jump, 1);
}

// 5 x 7 glyphs of the label's characters, one row a byte, bit 4 leftmost.
const unsigned char* glyph(char c)
{
    static const unsigned char digits[10][7] = {
        {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
        {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
        {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
        {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
        {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    };
    static const unsigned char comma[7] = {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08};
    static const unsigned char blank[7] = {};
    if (c >= '0' && c <= '9')
        return digits[c - '0'];
    return c == ',' ? comma : blank;
}

void drawLabel(std::vector<unsigned char>& rgb, const std::string& text)
{
    constexpr int scale = 2, advance = 6 * scale, margin = 4;
    const int boxWidth = int(text.size()) * advance + 2 * margin;
    const int boxHeight = 7 * scale + 2 * margin;
    for (int y = 1; y < 1 + boxHeight && y < kTile; ++y)
        for (int x = 1; x < 1 + boxWidth && x < kTile; ++x) {
            unsigned char* p = &rgb[(std::size_t(y) * kTile + x) * 3];
            p[0] = p[1] = p[2] = 0;
        }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char* rows = glyph(text[i]);
        for (int gy = 0; gy < 7; ++gy)
            for (int gx = 0; gx < 5; ++gx) {
                if (!(rows[gy] & (0x10 >> gx)))
                    continue;
                for (int sy = 0; sy < scale; ++sy)
                    for (int sx = 0; sx < scale; ++sx) {
                        const int x = 1 + margin + int(i) * advance + gx * scale + sx;
                        const int y = 1 + margin + gy * scale + sy;
                        if (x >= kTile || y >= kTile)
                            continue;
                        unsigned char* p = &rgb[(std::size_t(y) * kTile + x) * 3];
                        p[0] = 255;
                        p[1] = 255;
                        p[2] = 0;
                    }
            }
    }
    // The tile's outline, so neighbours are told apart.
    for (int i = 0; i < kTile; ++i)
        for (const std::size_t at : {std::size_t(i), std::size_t(kTile - 1) * kTile + i,
                                     std::size_t(i) * kTile, std::size_t(i) * kTile + kTile - 1}) {
            unsigned char* p = &rgb[at * 3];
            p[0] = 255;
            p[1] = 0;
            p[2] = 0;
        }
}

} // namespace

bool decodeQuadkey(const std::string& quadkey, TilePlace& place)
{
    if (quadkey.size() > 30)
        return false;
    TilePlace result;
    result.zoom = int(quadkey.size());
    for (const char digit : quadkey) {
        if (digit < '0' || digit > '3')
            return false;
        const int value = digit - '0';
        result.column = result.column * 2 + (value & 1);
        result.northRow = result.northRow * 2 + (value >> 1);
    }
    place = result;
    return true;
}

class WorldTiles::Impl
{
public:
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb; // width * height * 3
};

WorldTiles::WorldTiles(const std::string& imagePath) : m_impl(std::make_unique<Impl>())
{
    std::FILE* file = std::fopen(imagePath.c_str(), "rb");
    if (!file)
        throw std::runtime_error("cannot open the world picture " + imagePath + ": " +
                                 std::strerror(errno));
    jpeg_decompress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jumpOut;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        throw std::runtime_error("cannot read the world picture " + imagePath + ": " +
                                 error.message);
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    Impl& impl = *m_impl;
    impl.width = int(info.output_width);
    impl.height = int(info.output_height);
    impl.rgb.resize(std::size_t(impl.width) * impl.height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &impl.rgb[std::size_t(info.output_scanline) * impl.width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    if (impl.width < 2 || impl.height < 2)
        throw std::runtime_error("the world picture " + imagePath + " is too small");
}

WorldTiles::~WorldTiles() = default;

int WorldTiles::width() const
{
    return m_impl->width;
}

int WorldTiles::height() const
{
    return m_impl->height;
}

std::string WorldTiles::renderTile(const TilePlace& place, bool label) const
{
    const Impl& world = *m_impl;
    const double tiles = std::ldexp(1.0, place.zoom);

    // Where each column and row of the tile falls in the picture.
    std::vector<double> sourceX(kTile), sourceY(kTile);
    for (int i = 0; i < kTile; ++i) {
        const double longitude = (double(place.column) + (i + 0.5) / kTile) / tiles * 360.0 - 180.0;
        sourceX[i] = (longitude + 180.0) / 360.0 * world.width - 0.5;
        const double mercator = kPi * (1.0 - 2.0 * (double(place.northRow) + (i + 0.5) / kTile) / tiles);
        const double latitude = std::atan(std::sinh(mercator)) * 180.0 / kPi;
        sourceY[i] = (90.0 - latitude) / 180.0 * world.height - 0.5;
    }

    std::vector<unsigned char> tile(std::size_t(kTile) * kTile * 3);
    for (int row = 0; row < kTile; ++row) {
        const double y = std::min(std::max(sourceY[row], 0.0), double(world.height - 1));
        const int y0 = std::min(int(y), world.height - 2);
        const double fy = y - y0;
        const unsigned char* upper = &world.rgb[std::size_t(y0) * world.width * 3];
        const unsigned char* lower = upper + std::size_t(world.width) * 3;
        unsigned char* out = &tile[std::size_t(row) * kTile * 3];
        for (int column = 0; column < kTile; ++column) {
            const double x = sourceX[column];
            const double floorX = std::floor(x);
            const double fx = x - floorX;
            int x0 = int(floorX) % world.width;
            if (x0 < 0)
                x0 += world.width;
            const int x1 = (x0 + 1) % world.width; // the picture wraps east to west
            for (int c = 0; c < 3; ++c) {
                const double top = upper[x0 * 3 + c] * (1 - fx) + upper[x1 * 3 + c] * fx;
                const double bottom = lower[x0 * 3 + c] * (1 - fx) + lower[x1 * 3 + c] * fx;
                out[column * 3 + c] = static_cast<unsigned char>(top * (1 - fy) + bottom * fy + 0.5);
            }
        }
    }
    if (label)
        drawLabel(tile, std::to_string(place.column) + "," + std::to_string(place.southRow()) + "," +
                            std::to_string(place.zoom));

    jpeg_compress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jumpOut;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        throw std::runtime_error(std::string("cannot encode a tile: ") + error.message);
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = kTile;
    info.image_height = kTile;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 85, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = &tile[std::size_t(info.next_scanline) * kTile * 3];
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::string body(reinterpret_cast<const char*>(buffer), size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return body;
}

std::shared_ptr<const WorldTiles> WorldTiles::shared(const std::string& imagePath)
{
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const WorldTiles>> pictures;
    std::lock_guard<std::mutex> lock(mutex);
    auto& picture = pictures[imagePath];
    if (!picture) {
        try {
            picture = std::make_shared<const WorldTiles>(imagePath);
        } catch (...) {
            pictures.erase(imagePath);
            throw;
        }
    }
    return picture;
}

} // namespace tavo::tileserver

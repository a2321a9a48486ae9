#pragma once

#include "weaver/Pyramid.h"
#include "weaver/Weave.h"

#include <QString>

namespace tavo::weaver {

// Writes a Cloud Optimized GeoTIFF of a job: tiled 256 x 256, JPEG in
// YCbCr, EPSG:3857, with internal overviews down to one tile and a 1-bit
// mask (a hole is a sparse tile). At full scale the main image holds each
// job tile's own JPEG bytes when a tiled JPEG TIFF can hold them (see
// CopyRule::TiffLayout); other tiles are decoded and encoded again. The
// overviews come from the tile pyramid.
//
// Layout: header, layout notes, every directory (main image, its mask, then
// each overview and its mask, larger first), then the tiles, smallest
// overview first, each tile with its size before it and its last 4 bytes
// repeated after it, each image tile followed by its mask tile. Each level's
// tiles are written to a temporary file of their own while the pyramid
// runs and joined behind the directories at the end. BigTIFF when the file
// would pass 4 GB.
class CogWriter final
{
public:
    // `path`: the file to write (a temporary name); `scratchPrefix`: start
    // of the names of the level files, in the same folder.
    CogWriter(const QString& path, const QString& scratchPrefix)
        : m_path(path), m_scratchPrefix(scratchPrefix)
    {
    }

    // Writes `rect` of the request's job (scan: the folder's verdicts);
    // `feedback` (may be null) gets the tiles done and can stop the write.
    // False with result.error (or result.cancelled) when nothing usable was
    // written; the level files are removed either way.
    bool write(const WeaveRequest& request, const TileRect& rect, const JobScan& scan,
               Feedback* feedback, WeaveResult& result);

    // Writes BigTIFF whatever the size (for tests).
    void setForceBigTiff(bool force) { m_forceBigTiff = force; }

private:
    QString m_path, m_scratchPrefix;
    bool m_forceBigTiff = false;
};

} // namespace tavo::weaver

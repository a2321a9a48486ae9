#pragma once

#include "engine/JobFolder.h"

#include "engine/Feedback.h"

namespace tavo::glimpse {

// The tiles of `rect` told apart by the names in `imageFolder` alone: a tile
// with a file counts as Good (its content is not looked at), one with only a
// "<name>.part" as Partial, the others as Missing. One pass over the folder's
// entries and no file opened, so it takes a fraction of scanJobFolder's time
// (and far less on a cold disk), while its Missing and Partial tiles are
// already the final ones.
JobScan listTileFiles(const QString& imageFolder, const TileRect& rect,
                      const Feedback* feedback = nullptr);

} // namespace tavo::glimpse

// Opening images: identification by the first word, and new empty images.
#pragma once

#include "model/timg.h"

#include <memory>
#include <string>

namespace korvane {

// Maps the file, identifies its format (first 32-bit word non-zero: YAFFS2;
// zero: EXT2/EXT3), creates the image object and reads the image, reporting
// through sink. Throws Error with a message for the user when the file cannot
// be read or is refused by its reader.
std::unique_ptr<Timg> loadimage(const std::string& path, WorkSink* sink = nullptr);

// A new YAFFS2 image holding only a root directory (mode 040755, owner 0,
// times now).
std::unique_ptr<Timg> newimage(WorkSink* sink = nullptr);

// The 2112-byte chunk of a new image's root directory.
Bytes newImageChunk(uint32_t now);

} // namespace korvane

// The YAFFS2 row of the format registry.
#pragma once

#include "fs/registry.h"
#include "layout.h"

namespace korvane {

const FormatRow& yaffs2FormatRow();

// The layout a save request asks for: the source image's when it is a
// YAFFS2 image (the default layout otherwise) with the request's options
// put in. Throws Error when the options cannot make a layout.
yaffs2::Layout yaffs2LayoutOf(const Timg& img, const FormatOptions& options);

// The options that name layout l whole, so that yaffs2LayoutOf gives it
// back whatever the source image is (the app's settings dialog says what it
// picked this way).
FormatOptions yaffs2LayoutOptions(const yaffs2::Layout& l);

// A new YAFFS2 image (2048+64) holding only a root directory (mode 040755,
// owner 0, times now); not yet opened.
std::unique_ptr<Timg> newYaffs2Image();

// The 2112-byte chunk of a new image's root directory.
Bytes newImageChunk(uint32_t now);

} // namespace korvane

// Opening images: identification by the formats' bids, and new empty images.
#pragma once

#include "model/timg.h"
#include "fs/yaffs2/detect.h"

#include <memory>
#include <string>

namespace korvane {

// What the user says about an image, overriding what opening would guess.
struct OpenOptions {
    yaffs2::LayoutHints yaffs2; // page and spare size, tag place, byte order
};

// Maps the file, identifies its format (see formats.h), creates the image
// object and reads the image, reporting through sink. Throws Error with a
// message for the user when the file cannot be read or is refused by its
// reader.
std::unique_ptr<Timg> loadimage(const std::string& path, WorkSink* sink = nullptr,
                                const OpenOptions& opt = {});

// A new YAFFS2 image holding only a root directory (mode 040755, owner 0,
// times now).
std::unique_ptr<Timg> newimage(WorkSink* sink = nullptr);

// The 2112-byte chunk of a new image's root directory.
Bytes newImageChunk(uint32_t now);

} // namespace korvane

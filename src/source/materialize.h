// Bytes copied into a file of their own. A reader that needs its image in
// memory in one piece (the YAFFS2 scan walks records by pointer) can read a
// member of a container or a sparse image this way: the copy goes to an
// unlinked file in the temporary folder, so it takes disk, not memory, and
// vanishes with the mapping.
#pragma once

#include "model/image_source.h"
#include "model/timg.h"

#include <memory>

namespace korvane {

// src itself when its bytes lie in memory in one piece, otherwise a mapped
// copy of them, runs the source knows to be zeros left as holes. Throws
// Error when the copy cannot be written, or would take more than limit bytes
// (0: no limit) or more than the temporary folder has free; polls cancel (a
// cancelled copy throws Error too).
std::shared_ptr<const ImageSource> inOnePiece(std::shared_ptr<const ImageSource> src,
                                              const std::atomic<int>* cancel = nullptr,
                                              uint64_t limit = 0);

// The contents of an object of img as a byte source, read through
// Timg::ReadRange: a file of a filesystem opened as an image. img and the
// entry must outlive the source.
std::unique_ptr<ImageSource> entrySource(Timg& img, const TImgEntry& e);

} // namespace korvane

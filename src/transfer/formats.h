// The image formats Korvane reads, each with a bid on a file's bytes. Opening
// asks every reader and takes the highest bid, as archive readers bid on their
// input; equal bids fall back to the first-word rule (a zero first word means
// EXT, anything else YAFFS2).
#pragma once

#include "loadimage.h"
#include "model/bytes.h"
#include "model/timg.h"

#include <memory>
#include <span>

namespace korvane {

struct ImageReader {
    const char* name;
    // 0 when the bytes are certainly not this format; higher is surer (at
    // most 100). Reads only what it needs.
    int (*bid)(ByteSpan data, const OpenOptions& opt);
    // A new, empty image object of this format.
    std::unique_ptr<Timg> (*make)(const OpenOptions& opt);
};

std::span<const ImageReader> imageReaders();

// The reader with the highest bid; when none bids, the one the first-word rule
// names (so that its refusal says what is wrong).
const ImageReader* chooseReader(ByteSpan data, const OpenOptions& opt);

} // namespace korvane

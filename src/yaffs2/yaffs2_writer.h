// Writing the tree as a YAFFS2 image: every object gets a header chunk, files
// their data chunks, all numbered with the lowest sequence number, with object
// ids taken from the objects' pre-order positions.
#pragma once

#include "model/timg.h"
#include "yaffs2_format.h"

#include <string>
#include <vector>

namespace korvane {

// How YAFFS2 images are written. The caller keeps one for the session; opening
// a YAFFS2 image takes over its tag offset and first spare word.
struct SaveParams {
    uint32_t tagOffset = yaffs2::kTagOffsetPlain;
    uint32_t eccOffset = yaffs2::kDataEccOffset;
    yaffs2::EccKind ecc = yaffs2::kEccNone;
    int16_t firstSpareWord = 0;
};

// After a YAFFS2 image was opened: its tag offset and first spare word.
void updateFromScan(SaveParams& params, const Timg& img);

// Checks that YAFFS2 can hold the tree: object count, file and image size,
// name and link target lengths, hard-link targets. Throws Error naming the
// first object it cannot hold.
// Times outside what a header holds are moved into its range, with a warning
// (when warnings is given) naming the object.
void checkYaffs2(Timg& img, std::vector<Message>* warnings = nullptr);

// Writes the image to path (through a temporary file beside it, renamed over
// path when complete). Reports flag 4, kinds 2 to 5. Returns false when the
// cancel flag stopped it; nothing is left behind then. Throws Error.
bool writeYaffs2(Timg& img, const std::string& path, const SaveParams& params, JobReporter& rep,
                 std::vector<Message>* warnings = nullptr);

} // namespace korvane

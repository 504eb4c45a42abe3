// Writing the tree as a YAFFS2 image in a given layout: every object gets a
// header chunk, files their data chunks, all numbered with the lowest
// sequence number, with object ids taken from the objects' pre-order
// positions.
#pragma once

#include "layout.h"
#include "model/timg.h"

#include <string>
#include <vector>

namespace korvane {

// How YAFFS2 images are written. The caller keeps one for the session; opening
// a YAFFS2 image takes over its layout.
struct SaveParams {
    yaffs2::Layout layout = yaffs2::kDefaultLayout;
};

// After a YAFFS2 image was opened: its layout, so that saves keep it.
void updateFromScan(SaveParams& params, const Timg& img);

// The plain YAFFS2 type of the save dialog: the geometry, byte order and tag
// kind stay; the tags go to the head of the spare area, with the YAFFS data
// ECC in its standard place where it fits.
void pickPlainYaffs2(SaveParams& params);

// Checks that YAFFS2 in this layout can hold the tree: the layout itself,
// object count, file size, name and link target lengths, hard-link targets,
// device numbers, extended attributes. Throws Error naming the first object it
// cannot hold. Times outside what a header holds are moved into its range,
// with a warning (when warnings is given) naming the object.
void checkYaffs2(Timg& img, const yaffs2::Layout& layout, std::vector<Message>* warnings = nullptr);

// Writes the image to path (through a temporary file beside it, renamed over
// path when complete). Every object is written before the hard links to it.
// Reports flag 4, kinds 2 to 5. Returns false when the cancel flag stopped it;
// nothing is left behind then. Throws Error.
bool writeYaffs2(Timg& img, const std::string& path, const SaveParams& params, JobReporter& rep,
                 std::vector<Message>* warnings = nullptr);

} // namespace korvane

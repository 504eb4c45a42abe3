// Writing the tree as a YAFFS1 image, as mkyaffsimage lays one out: every
// object a header page (object ids from 257 in pre-order, the root 1),
// every file its data pages, each page's spare with the YAFFS1 tags, their
// ECC and the data ECC of its two halves.
#pragma once

#include "model/timg.h"

#include <string>
#include <vector>

namespace korvane {

// Checks that YAFFS1 can hold the tree: names (at most 255 bytes), link
// targets (159), files (at most 512 MiB: 20-bit chunk ids), object count,
// device numbers (at most 255:255), hard links; YAFFS1 headers have no room
// for extended attributes. Throws Error naming the first object it cannot
// hold. Times outside 1970 to 2106 are moved into that range, with a warning.
void checkYaffs1(Timg& img, std::vector<Message>* warnings = nullptr);

// Writes the image to path (a temporary file beside it, renamed over it when
// complete). Reports kinds 2 to 5 of kFlagSave. Returns false when the cancel
// flag stopped it; nothing is left behind then. Throws Error.
bool writeYaffs1(Timg& img, const std::string& path, JobReporter& rep,
                 std::vector<Message>* warnings = nullptr);

} // namespace korvane

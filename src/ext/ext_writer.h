// Writing the tree as an EXT2 or EXT3 image: revision 1, 1024-byte blocks, no
// optional features (EXT3: an internal journal in inode 8). Every object gets
// an inode numbered from its pre-order position; a fresh lost+found replaces
// one directly below the root.
#pragma once

#include "ext_planner.h"
#include "model/timg.h"

#include <string>
#include <vector>

namespace korvane {

// Checks that an EXT2/EXT3 image can hold the tree and plans it: names (1 to
// 255 bytes, no "/" or NUL, not "." or "..", none twice in a folder), hard
// links (to a live object that is written and is not a folder), symbolic link
// targets (1 to 1023 bytes, no NUL), the 1 GiB image and the 16384 inodes the
// layout has room for. Throws Error naming the first object it cannot hold.
// Times a 128-byte inode cannot hold are moved into its range, with a warning
// (when warnings is given) naming the object.
ext2::ExtPlan checkExt(Timg& img, bool ext3, std::vector<Message>* warnings = nullptr);

// Writes the image to path (through a temporary file beside it, renamed over
// path when complete). Reports flag 5: kinds 2 to 4 for its steps, kind 5 for
// every inode (allocated blocks of the image's blocks, the object's name) and
// kind 5 "完成" at the end. Returns false when the cancel flag stopped it;
// nothing is left behind then. Throws Error, before writing when the tree
// cannot be held (see checkExt).
bool WriteExtImage(Timg& img, const std::string& path, bool ext3, JobReporter& rep,
                   std::vector<Message>* warnings = nullptr);

} // namespace korvane

// Writing the tree as an EXT2, EXT3 or ext4 image. Every object gets an inode
// numbered from its pre-order position; the tree's lost+found folder becomes
// the image's (inode 11), and where there is none the writer makes one. EXT2/EXT3 images keep by
// default the geometry Korvane has always written (1 KiB blocks, 8 MiB groups, 128-byte inodes, no
// optional features, at most 1 GiB); ext4 images are laid out as mke2fs lays
// them out (extents, 256-byte inodes, flex_bg, metadata checksums, a journal).
// Either can instead keep the geometry of the EXT image being saved.
#pragma once

#include "ext_choice.h"
#include "ext_planner.h"
#include "model/timg.h"

#include <string>
#include <vector>

namespace korvane {

// Checks that the image can hold the tree and plans it: names (1 to 255
// bytes, no "/" or NUL, not "." or "..", none twice in a folder), hard links
// (to a live object that is written and is not a folder), symbolic link
// targets (1 byte to a block less one, no NUL), device numbers, attribute
// sets, link counts, file sizes, and the image's size and inodes. Throws Error
// naming the first object it cannot hold. Times the inodes cannot hold are
// moved into their range, with a warning (when warnings is given) naming the
// object.
ext2::ImagePlan checkExt(Timg& img, ExtKind kind, const ExtSaveParams& p = {},
                         std::vector<Message>* warnings = nullptr);

// Writes the image to path (through a temporary file beside it, renamed over
// path when complete). Reports flag 5: kinds 2 to 4 for its steps, kind 5 for
// every inode (allocated blocks of the image's blocks, the object's name) and
// kind 5 "完成" at the end. Returns false when the cancel flag stopped it;
// nothing is left behind then. Throws Error, before writing when the tree
// cannot be held (see checkExt).
bool WriteExtImage(Timg& img, const std::string& path, ExtKind kind, const ExtSaveParams& p,
                   JobReporter& rep, std::vector<Message>* warnings = nullptr);

} // namespace korvane

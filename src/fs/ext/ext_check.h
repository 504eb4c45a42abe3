// Checking, before anything is written, that an EXT image of a given format
// can hold the tree: names, links, link targets, device numbers, sizes.
#pragma once

#include "ext_planner.h"
#include "model/message.h"
#include "model/timg.h"

#include <climits>
#include <string>
#include <vector>

namespace korvane::ext2 {

// The times an inode with extra fields holds: signed 32-bit seconds and two
// epoch bits above them, 1901 to 2446. e2fsck takes both epoch bits with a
// negative low word (2310 on) for a time before 1970 that an old kernel
// wrote wrongly, so times end at 2310-04-04.
constexpr int64_t kMaxExtraTime = 3 * (int64_t{1} << 32) + INT32_MIN - 1;

// "/a/b", the path of a node for messages.
std::string wherePath(const Node* n);

// The object a hard link names, following links to links; nullptr when the
// chain ends at a node that is no longer in the tree.
const Node* LinkTarget(const Timg& img, const AbsoluteIndex& tree, const Node* link);

// Throws Error naming the first object an image of format f cannot hold:
// names (1 to 255 bytes, no "/" or NUL, not "." or "..", none twice in a
// folder), hard links (to a live object that is written and is not a folder,
// at most 65000 names), folders of more subfolders than the format counts,
// symbolic link targets (1 byte to a block less one, no NUL), device numbers
// and file sizes. Adds a warning naming each object with a time the inodes
// cannot hold (they are moved into their range).
void CheckTree(const Timg& img, const AbsoluteIndex& tree, const ExtFormat& f,
               std::vector<Message>* warnings);

} // namespace korvane::ext2

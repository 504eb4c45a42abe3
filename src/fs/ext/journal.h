// Journal recovery in memory: the committed transactions of an internal
// JBD2 journal are replayed the way the kernel replays them when it mounts
// (scan, revoke and replay passes), into an overlay over the image source.
// The image file is never written.
#pragma once

#include "blockmap.h"
#include "model/image_source.h"
#include "model/message.h"

#include <memory>
#include <vector>

namespace korvane::ext2 {

struct JournalReplay {
    // The image as it is after recovery; nullptr when nothing was replayed.
    std::unique_ptr<ImageSource> source;
    uint32_t transactions = 0; // committed transactions replayed
    uint64_t blocks = 0;       // filesystem blocks they rewrite
    std::vector<Message> problems;
};

// Replays the journal whose blocks `journal` maps (blocks of it are in the
// journal inode's contents) on top of dev's source, which must outlive the
// result's source.
JournalReplay replayJournal(const BlockDevice& dev, const BlockMapper& journal,
                            uint64_t journalBlocks);

} // namespace korvane::ext2

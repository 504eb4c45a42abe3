// Writing the tree as a JFFS2 image, as mkfs.jffs2 lays one out: nodes
// packed into erase blocks (a cleanmarker at the start of each, unless told
// otherwise), file data in nodes of one page each, compressed on every core
// and placed in order on the job's thread, a data node split where an erase
// block ends. Directories are written as mkfs.jffs2 walks them: a folder's
// entries (each with its inode), then each subfolder in turn.
#pragma once

#include "jffs2_format.h"
#include "model/timg.h"

#include <string>
#include <vector>

namespace korvane {

struct Jffs2SaveParams {
    uint32_t eraseBlock = jffs2::kDefaultEraseBlock;
    jffs2::ByteOrder order = jffs2::ByteOrder::kLittle;
    bool cleanmarkers = true;
    uint8_t compr = jffs2::kComprZlib; // kComprZlib, kComprLzo or kComprNone
    enum class Pad : uint8_t {
        kNone,  // the image ends after its last node
        kBlock, // erased flash to the end of the last erase block
        kSize,  // erased flash (and cleanmarkers) up to padSize bytes
    };
    Pad pad = Pad::kNone;
    uint64_t padSize = 0;
    // padSize is the source image's length, not the user's: a tree that no
    // longer fits is written whole, with a warning, rather than refused.
    bool padIsSource = false;
    // Threads that compress; 0 for one per core. Any count gives the same
    // bytes.
    unsigned workers = 0;
};

// Checks that JFFS2 with these parameters can hold the tree: names (1 to 254
// bytes), file sizes (under 4 GiB), link targets (at most 254 bytes), owners
// (16-bit), device numbers, hard links, extended attributes (names JFFS2 has
// a prefix for; each in a node that fits an erase block). Throws Error naming
// the first object it cannot hold. Times outside what a node holds (unsigned
// 32-bit seconds) are moved into its range, with a warning naming the object.
void checkJffs2(Timg& img, const Jffs2SaveParams& params, std::vector<Message>* warnings = nullptr);

// Writes the image to path (through a temporary file beside it, renamed over
// path when complete). Reports kinds 2 to 5 of kFlagSave. Returns false when
// the cancel flag stopped it; nothing is left behind then. Throws Error.
bool writeJffs2(Timg& img, const std::string& path, const Jffs2SaveParams& params, JobReporter& rep,
                std::vector<Message>* warnings = nullptr);

} // namespace korvane

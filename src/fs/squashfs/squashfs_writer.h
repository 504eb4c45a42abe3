// Writing the tree as a SquashFS 4.0 image through libsquashfs: the file
// contents go through the library's block processor (one worker a core,
// a bounded backlog; it splits them into blocks and fragments, finds holes
// and duplicates), then the inode and folder tables, the fragment, export,
// owner and attribute tables and the superblock. The image is padded to
// 4 KiB, as the kernel reads it.
#pragma once

#include "fs/registry.h"

#include <string>
#include <vector>

namespace korvane {

// The compressor and block size of a save: --comp, --block-size and
// --comp-level, else, like the source, those of the SquashFS image being
// saved, else gzip in 128 KiB blocks as mksquashfs writes; --jobs. Throws Error
// naming the option whose value is wrong.
struct SquashfsChoice {
    std::string compressor; // "gzip", "xz", "lzo", "lz4", "zstd"
    uint32_t blockSize = 0;
    int level = -1; // the compressor's default (or the source's) when < 0
    // Threads of the block processor (--jobs); one a core when 0. Any
    // number of them writes the same bytes.
    unsigned jobs = 0;
};
SquashfsChoice squashfsChoiceOf(const Timg& img, const SaveRequest& req);

// Writes img's tree to req.path (through a temporary file renamed over it
// when complete). Checks first that SquashFS can hold the tree (names of 1
// to 256 bytes, unique in their folder, no "/" or NUL; hard links to files
// that are written; link targets of 1 to 4096 bytes without NUL; device
// numbers of 12-bit majors and 20-bit minors; at most 65536 owners and
// groups) and throws Error naming the first object it cannot hold. Times
// before 1970 or after 2106 are moved into that range and attributes other
// than user., trusted. and security. ones are left out, each with a warning
// naming the object. Reports flag kFlagSave: kinds 2 to 4 for its steps,
// kind 5 for progress (bytes of contents written). Returns false when the
// cancel flag stopped it; nothing is left behind then.
bool writeSquashfs(Timg& img, const SaveRequest& req, JobReporter& rep,
                   std::vector<Message>* warnings = nullptr);

} // namespace korvane

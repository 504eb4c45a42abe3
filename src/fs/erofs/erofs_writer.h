// Writing the tree as an EROFS image: 4 KiB blocks, the superblock and the
// root inode in the first block, then the shared attributes and every other
// inode (compact where it holds the object, extended otherwise) with its
// inline attributes and the tail of its data, then the data blocks. Files
// may be compressed with LZ4 or LZ4HC into one-block clusters on every core;
// the image is the same whatever the number of cores.
#pragma once

#include "fs/registry.h"
#include "model/timg.h"

#include <array>
#include <string>
#include <vector>

namespace korvane {

struct ErofsParams {
    enum Compression : uint8_t { kNone, kLz4, kLz4hc };
    Compression compression = kNone;
    int level = 9; // LZ4HC level, 1 to 12
    std::array<uint8_t, 16> uuid{};
    std::string label;
    int64_t buildTime = 0;
    uint32_t buildNsec = 0;
    unsigned workers = 0; // 0: one per core
};

// The EROFS choices of a save request, like the source when it asks so and
// img is an EROFS image: compression, UUID, label and build time. Throws
// Error naming the option whose value is wrong.
ErofsParams erofsParamsOf(const Timg& img, const SaveRequest& req);

// Writes img's tree to path (through a temporary file renamed over it when
// complete). Checks first what EROFS cannot hold and throws Error naming the
// object. Returns false when the cancel flag stopped it.
bool WriteErofsImage(Timg& img, const std::string& path, const ErofsParams& p, JobReporter& rep,
                     std::vector<Message>* warnings = nullptr);

} // namespace korvane

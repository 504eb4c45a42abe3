// The EXT2/3/4 row of the format registry.
#pragma once

#include "ext_choice.h"
#include "fs/registry.h"

namespace korvane {

const FormatRow& extFormatRow();

// What the bytes say of being an EXT filesystem: the superblock magic, and
// whether the geometry it gives fits the bytes (and its checksum verifies).
Probe probeExt(const ProbeInput& in);

// The EXT choices of a save request (block-size, inode-size, inodes, size,
// label, uuid; sparse and likeSource from the request). Throws Error naming
// the option whose value is wrong.
ExtSaveParams extParamsOf(const SaveRequest& req);

} // namespace korvane

// The SquashFS row of the format registry.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& squashfsFormatRow();

// What the bytes say of being a SquashFS 4.0 image: the superblock, whether
// its tables fit the bytes, and whether the root inode is a folder.
Probe probeSquashfs(const ProbeInput& in);

} // namespace korvane

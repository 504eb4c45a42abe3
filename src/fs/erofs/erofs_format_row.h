// The EROFS row of the format registry.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& erofsFormatRow();

// What the bytes say of being EROFS: the superblock magic at byte 1024, a
// block size and block count that fit the bytes, and the checksum.
Probe probeErofs(const ProbeInput& in);

} // namespace korvane

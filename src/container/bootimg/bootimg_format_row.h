// The Android boot image row of the format registry (boot.img, init_boot.img,
// vendor_boot.img).
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& bootimgFormatRow();

} // namespace korvane

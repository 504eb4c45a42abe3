// The cpio (ramdisk) row of the format registry.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& cpioFormatRow();

} // namespace korvane

// The YAFFS1 row of the format registry.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& yaffs1FormatRow();

} // namespace korvane

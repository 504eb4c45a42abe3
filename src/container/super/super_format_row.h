// The Android super image row of the format registry.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& superFormatRow();

} // namespace korvane

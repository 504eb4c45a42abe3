// The UBIFS row of the format registry (read only).
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& ubifsFormatRow();

} // namespace korvane

// The UBI row of the format registry: a container whose members are the
// volumes.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& ubiFormatRow();

} // namespace korvane

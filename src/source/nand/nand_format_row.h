// The row of the format registry for raw NAND dumps: a byte layer that takes
// the spare areas out of the pages.
#pragma once

#include "fs/registry.h"

namespace korvane {

const FormatRow& nandFormatRow();

} // namespace korvane

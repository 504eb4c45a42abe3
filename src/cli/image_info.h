// korvane-cli info: what the image is, how sure the probes are, its facts,
// and the members of a container with what each holds.
#pragma once

#include "fs/open_options.h"
#include "transfer/image_chain.h"

#include <cstdio>

namespace korvane::cli {

void printChainInfo(const ImageChain& chain, const OpenOptions& opt, std::FILE* out);

} // namespace korvane::cli

// Writing a boot image anew around its members: the header keeps its kind,
// version, page size, addresses, OS version and patch level, takes the new
// sizes and command line (and for versions 0 to 2 the SHA-1 id mkbootimg
// computes), and every section follows on its page.
#pragma once

#include "fs/registry.h"

namespace korvane::bootimg {

bool writeBootImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                    std::vector<Message>* warnings);

} // namespace korvane::bootimg

// Saving over the image that is open: allowed, since a file is replaced only
// when the new one is complete and the open image keeps the old one, except
// where it would lose something for good.
#pragma once

#include "model/message.h"
#include "model/output_file.h"
#include "model/timg.h"

#include <optional>
#include <string>

namespace korvane {

// Why img must not be saved as out, or an empty message when it may. opened
// is the file img was read from (FileIdentity of its path when it was
// opened, or ImageData::identity()); out counts as that file whatever its
// spelling: relative, through a symbolic link, another hard link to it.
//
// - out is the block device img is read from: the device would be written
//   while the image is still read from it. Always refused.
// - out is the file img was read from and img was read with warnings: what
//   could not be read would be replaced by zeros for good. Refused unless
//   force.
Message inPlaceRefusal(const Timg& img, const std::optional<FileIdentity>& opened,
                       const std::string& out, bool force);

} // namespace korvane

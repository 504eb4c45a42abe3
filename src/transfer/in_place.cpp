#include "in_place.h"

namespace korvane {

Message inPlaceRefusal(const Timg& img, const std::optional<FileIdentity>& opened,
                       const std::string& out, bool force) {
    if (!opened || !writesOver(out, *opened))
        return {};
    if (opened->blockDevice)
        return msg("%1 is the device the image is read from; it cannot be written while it is "
                   "read (save to a file first)",
                   out);
    if (!img.warnings().empty() && !force)
        return msg("%1 is the image that was read with warnings; saving over it would replace "
                   "what could not be read with zeros for good",
                   out);
    return {};
}

} // namespace korvane

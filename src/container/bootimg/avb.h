// The AVB footer of a signed boot image and the vbmeta it points at: read
// for `info`, and moved or dropped when the image is written anew (the
// signature covers the old bytes, so signing again is the user's step).
#pragma once

#include "model/image_source.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::bootimg {

struct AvbFooter {
    uint32_t versionMajor = 0, versionMinor = 0;
    uint64_t originalSize = 0; // the image before it was padded and signed
    uint64_t vbmetaOffset = 0, vbmetaSize = 0;
    uint64_t partitionSize = 0; // the whole file, footer included
};

// The footer in the last 64 bytes of src, when there is one whose numbers
// fit the file.
std::optional<AvbFooter> readAvbFooter(const ImageSource& src);

// Facts about the footer and its vbmeta (algorithm, rollback index, hash
// descriptors) as label/value pairs.
std::vector<std::pair<std::string, std::string>> avbFacts(const ImageSource& src,
                                                          const AvbFooter& f);

// The footer's 64 bytes for numbers f.
Bytes serializeAvbFooter(const AvbFooter& f);

} // namespace korvane::bootimg

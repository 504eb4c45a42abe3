// Raw NAND dumps: the search for page, spare and block sizes, the ECC
// survey, and the UBI image inside read through the spare-area layer as
// opening the file would read it.
#include "fs/registry.h"
#include "fuzz_support.h"
#include "source/image_data.h"

#include <algorithm>

int korvaneFuzzOne(const uint8_t* data, size_t size) {
    using namespace korvane;
    if (size < 4 || size > fuzz::kMaxInput)
        return 0;
    // Other inputs are the other harnesses' work.
    const auto src = ImageData::fromBytes(Bytes(reinterpret_cast<const std::byte*>(data),
                                                reinterpret_cast<const std::byte*>(data) + size));
    const Bytes head = readBytes(*src, 0, std::min<size_t>(size, kProbeHeadBytes));
    const OpenOptions opt;
    if (formatNamed("nand")->probe({*src, head, opt}).score == kProbeNone)
        return 0;
    if (std::unique_ptr<Timg> img = fuzz::openAny(data, size))
        fuzz::readEverything(*img);
    return 0;
}

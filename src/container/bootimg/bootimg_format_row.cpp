#include "bootimg_format_row.h"

#include "boot_header.h"
#include "bootimg_writer.h"
#include "tbootimg.h"

#include <cstring>

namespace korvane {

namespace {

using namespace bootimg;

const SaveType kSaveTypes[] = {
    {"bootimg", "Android 启动镜像"},
};

const FormatOption kOptions[] = {
    {"keep-avb-footer", nullptr,
     "boot images: keep the partition size, vbmeta and AVB footer (which no longer verifies) "
     "instead of leaving them out"},
};

Probe probeBootimg(const ProbeInput& in) {
    Message why;
    std::optional<BootHeader> h = parseBootHeader(in.head, in.source.size(), &why);
    if (!h) {
        if (in.head.size() >= kMagicSize &&
            (std::memcmp(in.head.data(), kBootMagic, kMagicSize) == 0 ||
             std::memcmp(in.head.data(), kVendorMagic, kMagicSize) == 0))
            return {kProbeSignature, msg("a boot image magic, but %1", why)};
        return {kProbeNone, why};
    }
    if (imageEndOf(*h) > in.source.size() + h->pageSize)
        return {kProbeSignature,
                msg("a boot image header whose sections run past the end of the file")};
    return {kProbeStructure,
            msg("a boot image header of version %1 whose sections fit the file", h->version)};
}

std::unique_ptr<Timg> makeBootimg(const OpenOptions&) {
    return std::make_unique<Tbootimg>();
}

} // namespace

const FormatRow& bootimgFormatRow() {
    static const FormatRow row{
        .name = "bootimg",
        .title = "Android boot image",
        .role = FormatRole::kContainer,
        .probe = probeBootimg,
        .make = makeBootimg,
        .saveTypes = kSaveTypes,
        .write = writeBootImage,
        .options = kOptions,
    };
    return row;
}

} // namespace korvane

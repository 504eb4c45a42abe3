// Writing a tree as a cpio archive (newc unless the source was odc or
// binary) through libarchive, compressed as asked: a ramdisk as the kernel
// and Android's first stage unpack it.
#pragma once

#include "fs/registry.h"
#include "ramdisk_codec.h"

namespace korvane::cpio {

struct CpioParams {
    Compression compression = Compression::kNone;
    int format = 0;        // libarchive's format code; 0 for newc
    bool topEntry = false; // write "." for the root folder
    bool dotSlash = false; // name members "./x"
};

// The choices of req for img: the source's own with likeSource, then
// --ramdisk-compression.
CpioParams cpioParamsOf(const Timg& img, const SaveRequest& req);

bool writeCpio(Timg& img, const std::string& path, const CpioParams& params, JobReporter& rep,
               std::vector<Message>* warnings);

} // namespace korvane::cpio

// What the user says about how an image is to be read, overriding what
// opening would guess.
#pragma once

#include "fs/yaffs2/detect.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

struct OpenOptions {
    // The format to read the bytes as (a registry name: "ext", "yaffs2",
    // ...), whatever the probes say; empty to let them decide. It applies to
    // the innermost image opened (the last member named).
    std::string format;
    // The members to open inside the file, outermost first, each a path
    // inside the image before it ("system_a", then "/boot/ramdisk").
    std::vector<std::string> members;
    // NAND page and spare size, tag place, byte order (YAFFS2 and raw NAND
    // dumps).
    yaffs2::LayoutHints yaffs2;
    // Only the facts `info` prints are wanted: an image whose format row
    // says it describes itself from its headers is not walked.
    // It applies to the innermost image, as format does.
    bool factsOnly = false;
    // At most this many bytes of an image are copied into the temporary
    // folder for a reader that needs them in one piece (a YAFFS2 image inside
    // a sparse image or a container); 0: as many as the folder has room for.
    uint64_t copyLimit = 0;
};

} // namespace korvane

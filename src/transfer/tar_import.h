// Reading an archive into the tree: every member becomes an object with the
// owner, mode, times, device number and extended attributes the archive
// gives, so that building an image from an archive needs no privilege.
#pragma once

#include "model/bytes.h"
#include "model/message.h"
#include "model/timg.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

struct TarImportResult {
    std::vector<Message> refused;  // members that cannot be taken, naming them
    std::vector<Message> warnings; // what the archive reader warned about, and
                                   // extended attributes left out
    uint64_t added = 0;            // objects made, or replaced by a later member
    bool cancelled = false;
};

// Reads the archive at source ("-": standard input) in any format and
// compression libarchive reads (tar and pax, cpio, ... with gzip, xz, zstd,
// ...) into the folder dirId. Member names are taken below that folder; "."
// gives the folder itself its attributes, missing folders on the way are made
// (mode 0755, owner 0, time now) and a later member replaces an earlier one of
// the same name, as tar extracts them. Hard links become hard links to their
// file (a hard link that carries contents, as cpio writes them, gives the
// file its contents). File contents go to the working file, holes of sparse
// members staying holes.
//
// Refused, and listed naming them, are members that cannot be taken whole:
// absolute names and names with "..", names over 255 bytes, hard links to
// nothing before them or to folders, owners over 4294967294, device numbers
// over 4095:1048575, a folder and a file of the same name, and kinds no image
// holds. The run goes on to list them all; what it made stays, so callers that
// need all or nothing (pack) start from an image they throw away.
//
// Runs on the calling thread; reports through img.onwk with flag 3 (the
// source, then each member's name with the archive bytes read, then "完成",
// sent also when the job fails) and stops before the next member once
// img.cancel is set. Throws Error when the archive cannot be read (not an
// archive, damaged, cut short) or dirId is no folder of the tree.
TarImportResult tarin(Timg& img, const std::string& source, uint32_t dirId);

// The same for an archive held in memory; label names it in messages and
// progress.
TarImportResult tarin(Timg& img, ByteSpan archive, const std::string& label, uint32_t dirId);

} // namespace korvane

// Android sparse images read in place: the chunk map serves reads of the
// expanded image straight from the file (raw chunks), from a fill word or as
// zeros, so nothing is expanded to disk or memory.
#pragma once

#include "model/bytes.h"
#include "model/image_source.h"

#include <memory>

namespace korvane {

// How sure the bytes are to start an Android sparse image: 0 when the header
// does not check out.
int bidSparse(ByteSpan head);

// The expanded image of the sparse image in file. CRC32 chunks are checked;
// a bad checksum, a file cut short or a chunk that makes no sense becomes a
// problem of the source (the missing bytes read as zeros). Throws Error when
// the header itself is unusable.
std::unique_ptr<ImageSource> openSparse(std::unique_ptr<ImageSource> file);

} // namespace korvane

// Decompressing one block of a file with the library of its compressor:
// liblzo2 (LZO1X), zlib (raw deflate) and libzstd.
#pragma once

#include "model/bytes.h"
#include "model/message.h"

#include <cstdint>

namespace korvane::ubifs {

// Decompresses in, compressed with type (ubifs::Compression), into out,
// which must come out full. False with why when the library refuses the
// bytes, they give another number of bytes, or the type is unknown.
bool decompressBlock(uint16_t type, ByteSpan in, MutableByteSpan out, Message* why);

} // namespace korvane::ubifs
